#pragma once
// The label file of the image on screen: what was read from it, whether the user changed the
// shapes since, and writing it back without touching what the user did not change.
#include <QSize>
#include <QString>

#include "core/atomic_file.h"
#include "core/label_files.h"

namespace quorlan {

class LabelDocument {
 public:
  // Reads the label file at `path` for an image of `image_size` (a missing file is an empty
  // document). `class_count` < 0: the folder has no class names.
  void open(const QString& path, int class_count, QSize image_size);
  // Forgets everything: nothing will be written.
  void close();

  const QString& path() const { return path_; }
  const LabelReadResult& content() const { return content_; }
  // The file exists but could not be read: it is never written over.
  const QString& read_error() const { return read_error_; }

  // Set by every edit of the shapes; only a changed document is ever written.
  bool is_changed() const { return changed_; }
  void mark_changed() { changed_ = true; }
  void clear_changed() { changed_ = false; }

  // The file on disk is no longer the one that was read (changed, created or removed since).
  bool changed_on_disk() const;

  // The file's bytes for `shapes`: a shape with a `raw` line is written as that line (it was
  // not changed), a box shape as a box line, every other as a polygon line; then the kept
  // lines, byte for byte. Empty when there is nothing to write.
  QByteArray bytes_for(const QVector<LabelShape>& shapes) const;

  // Writes the file (or removes it when there is nothing left to write, unless `empty_file`
  // asks for an empty one: a confirmed background) and clears the changed mark. On failure the
  // reason; the file on disk is then as it was. The shapes written become the document's shapes,
  // each with its written line as `raw`.
  Status save(const QVector<LabelShape>& shapes, bool empty_file = false);
  // The file as it was last read or written.
  const FileStamp& stamp() const { return stamp_; }

 private:
  QByteArray line_for(const LabelShape& shape) const;

  QString path_;
  QSize size_;
  LabelReadResult content_;
  QString read_error_;
  FileStamp stamp_;
  bool changed_ = false;
};

}  // namespace quorlan

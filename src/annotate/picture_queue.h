#pragma once
// The annotator's queue of pictures, without widgets: what opening a folder reads (all of it
// beside the window), the pictures in order with their label marks, and where the user is.
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

#include "core/class_names.h"
#include "core/label_files.h"
#include "core/label_kind.h"

namespace quorlan {

// What opening a folder reads: its pictures in order, where their label files are and how each
// is marked, the class names, the label kind the files (else the manifest) say, and, for a folder
// without pictures inside a dataset, the split folders its manifest names that hold pictures.
struct FolderListing {
  QString folder;
  QString label_folder;  // the folder itself, or a sibling "labels"
  QStringList paths;     // sorted; regular files only (a FIFO named like a picture would block a read)
  QVector<LabelMark> marks;
  FolderClasses classes;
  std::optional<LabelKind> kind;  // none while the folder has no label lines and no manifest task
  QString split_manifest;         // the manifest offering `splits`
  QStringList splits;
};

// Reads `folder` as opening it needs; touches nothing. Safe on any thread.
FolderListing list_folder(const QString& folder);

// The largest class id of the label lines in `label_paths` (-1 when none), as a new class must
// come after it. Safe on any thread.
int largest_label_id(const QStringList& label_paths);

class PictureQueue {
 public:
  // The folder listed; nobody is on a picture yet.
  void open(const FolderListing& listing);

  const QString& folder() const { return folder_; }
  const QString& label_folder() const { return label_folder_; }
  const QStringList& paths() const { return paths_; }
  int size() const { return static_cast<int>(paths_.size()); }
  bool isEmpty() const { return paths_.isEmpty(); }
  QString path(int idx) const { return idx >= 0 && idx < size() ? paths_[idx] : QString(); }
  int index_of(const QString& path) const { return static_cast<int>(paths_.indexOf(path)); }
  // Where the label file of `image` is (in the label folder).
  QString label_path_of(const QString& image) const;
  QStringList label_paths() const;

  // The picture on screen (0 before any is), and the one asked for while it is decoded.
  int current() const { return current_; }
  // Where a step goes on from: the picture last asked for, so that keys pressed while one is
  // decoded all count.
  int origin() const { return wanted_ >= 0 ? wanted_ : current_; }
  // Asks for picture `idx`; the answer is the request, which only the last one asked keeps.
  int ask(int idx);
  bool is_latest(int request) const { return request == request_; }
  // The picture asked for is on screen.
  void shown(int idx);
  // Back to the picture on screen: the one being decoded is not shown.
  void drop_asked();
  // The picture after (before) the origin; -1 at the end (start).
  int next() const { return origin() < size() - 1 ? origin() + 1 : -1; }
  int previous() const { return origin() > 0 && size() > 0 ? origin() - 1 : -1; }
  // The pictures to decode while `idx` is looked at, the one ahead in the direction of travel
  // from `from` first.
  QStringList neighbours(int idx, int from) const;

  LabelMark mark(int idx) const { return idx >= 0 && idx < marks_.size() ? marks_[idx] : LabelMark::Pending; }
  void set_mark(int idx, LabelMark mark);
  // The marks of the pictures whose label files are among `label_paths` (rewritten by a change
  // of the folder) read again from the disk.
  void remark(const QStringList& label_paths);
  // "Annotated: 3 / 20": the pictures with a label file (objects or a confirmed background).
  QString progress_text() const;
  // The list's entry of picture `idx`: its mark and its file name.
  QString entry_text(int idx) const;

 private:
  QString folder_;
  QString label_folder_;
  QStringList paths_;
  QVector<LabelMark> marks_;
  int current_ = 0;
  int wanted_ = -1;
  int request_ = 0;
};

}  // namespace quorlan

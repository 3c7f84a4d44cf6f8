#pragma once
// The annotations of the image on screen as one document: its shapes, the lines of its label file
// that cannot be shown, its undo history and whether it was changed. Every edit is a command on
// the document; views (the canvas, the object table) mirror it and never hold the truth, and the
// label file is written from it alone.
#include <QHash>
#include <QObject>
#include <QPolygonF>
#include <QSize>
#include <QString>
#include <QVector>
#include <functional>

#include "core/atomic_file.h"
#include "core/expected.h"
#include "core/label_files.h"

class QFileSystemWatcher;
class QUndoStack;

namespace quorlan {

// One shape of the image: a box (written as a box line) or a polygon (a polygon line).
struct Annotation {
  int class_id = 0;
  LabelKind kind = LabelKind::Polygons;
  QPolygonF points;  // in image pixels; a box as its four corners
  QString type;      // how it was made ("Rectangle", "Polygon", "Circle", "AI Rectangle", ...)
  QByteArray raw;    // the file's line for the shape while it is as read or written
  // On a folder of frames, the track the box belongs to (-1: none) and whether it was filled in
  // (interpolated or tracked) rather than drawn; kept in the folder's track file, never in the line.
  int track = -1;
  bool filled = false;
  bool is_box() const { return kind == LabelKind::Boxes; }
  // The same shape for the user: class, kind, type, vertices and track (`raw` only follows the file).
  bool same_shape(const Annotation& o) const {
    return class_id == o.class_id && kind == o.kind && type == o.type && points == o.points && track == o.track &&
           filled == o.filled;
  }
};

struct AnnotationState {
  QVector<Annotation> shapes;
  bool confirmed_empty = false;  // no objects, on purpose: written as an empty label file
  bool same_as(const AnnotationState& o) const;
};

// The shape read from a label line: "Rectangle" for a box or a four-point polygon, else "Polygon".
Annotation annotation_of(const LabelShape& shape);
// A drawn shape of `kind`: a box keeps the bounding rectangle of `points` as its corners.
Annotation drawn_annotation(int class_id, LabelKind kind, const QPolygonF& points, const QString& type);
// How many shapes of each kind.
KindCounts kinds_of(const QVector<Annotation>& shapes);

class AnnotationDocument : public QObject {
  Q_OBJECT
 public:
  explicit AnnotationDocument(QObject* parent = nullptr);
  ~AnnotationDocument() override;

  // Reads the label file at `path` for an image of `image_size` (a missing file is an empty
  // document). `class_count` < 0: the folder has no class names, every id is shown. The image's
  // history stays while its label file and size are the ones it was made on.
  void open(const QString& path, int class_count, QSize image_size);
  // Forgets the image: nothing will be written.
  void close();

  const QString& path() const { return path_; }
  QSize image_size() const { return size_; }
  bool is_open() const { return !path_.isEmpty(); }
  const AnnotationState& state() const { return state_; }
  const QVector<Annotation>& shapes() const { return state_.shapes; }
  bool confirmed_empty() const { return state_.confirmed_empty; }
  // The lines that cannot be shown, byte for byte, written back after the shapes.
  const QVector<QByteArray>& kept() const { return kept_; }
  // The first malformed line of the file, for the console; empty when none.
  const QString& line_error() const { return line_error_; }
  // The file exists but could not be read: it is never written over.
  const QString& read_error() const { return read_error_; }
  // The label file existed when it was read (or written last).
  bool file_exists() const { return stamp_.exists; }
  const FileStamp& stamp() const { return stamp_; }
  // The file on disk is no longer the one that was read or written (changed, created, removed).
  bool changed_on_disk() const;

  // Set by every edit, undo and redo; only a changed document is ever written.
  bool is_changed() const { return changed_; }
  void mark_changed() { changed_ = true; }
  // Drops the unsaved edits' claim on the file: the mark goes, and the history, which ends in them.
  void discard_changes();

  // This image's history (nullptr before its first edit).
  QUndoStack* undo_stack() const;
  bool can_undo() const;
  bool can_redo() const;
  void undo();
  void redo();

  // Edits, each one step of the history; nothing happens when the edit changes nothing.
  // False when nothing changed (or no image is open).
  bool apply(const QString& text, AnnotationState after);
  bool add(const QString& text, const QVector<Annotation>& added);
  bool remove(QVector<int> rows);
  bool translate(const QVector<int>& rows, QPointF delta);
  bool set_points(int row, const QPolygonF& points, const QString& text = QStringLiteral("Edit Vertices"));
  bool set_class(int row, int class_id);
  bool replace_all(const QString& text, const QVector<Annotation>& shapes);
  bool confirm_empty();
  // Gives the shapes their tracks as the folder's track file names them: not an edit (no history,
  // nothing to write). A box the user moves or reshapes afterwards is no longer a filled one.
  void mark_tracks(const std::function<void(QVector<Annotation>&)>& mark);

  // The file's bytes for the shapes: an unchanged shape as its own line, a box as a box line, a
  // polygon as a polygon line; then the kept lines. Empty when there is nothing to write.
  QByteArray bytes() const;
  // Writes the file (or removes it when nothing is left, unless the image was confirmed empty)
  // and clears the changed mark. On failure the reason; the file is then as it was.
  Status save();
  // The same write beside the calling thread, in order with every other write of the write pool:
  // the changed mark clears at once and comes back when the write fails. Whoever waits on
  // when_written() then hears the outcome.
  void save_beside();
  // Writes asked of save_beside() that have not landed yet.
  bool writing() const { return writing_ > 0; }
  // `landed` runs (on this object's thread) once no write is left in flight, with the last
  // outcome; at once when none is.
  void when_written(std::function<void(const Status&)> landed);

 signals:
  // The shapes were replaced: an image was opened, an edit, an undo or a redo.
  void shapes_changed();
  // The label file changed on disk since it was read or written (another program).
  void file_changed_on_disk();

 private:
  friend class AnnotationCommand;
  struct History {
    QUndoStack* stack = nullptr;
    FileStamp label_stamp;  // the label file as the last edit or save left it
    QSize image_size;
  };
  void set_state(const AnnotationState& state);  // an undo or redo lands here
  QByteArray line_for(const Annotation& shape) const;
  // What save() writes, taken from the shapes now; a failure when the file must not be written.
  struct Write {
    QString path;
    QByteArray content;
    bool remove = false;  // nothing is left: the file goes
  };
  Expected<Write> next_write();
  static Expected<FileStamp> put_on_disk(const Write& write);
  void write_landed(const QString& path, const FileStamp& stamp);
  void watch();
  void on_disk_event();

  QString path_;
  QSize size_;
  AnnotationState state_;
  QVector<QByteArray> kept_;
  QByteArray eol_ = "\n";
  QString line_error_;
  QString read_error_;
  FileStamp stamp_;
  bool changed_ = false;
  int writing_ = 0;
  Status last_write_;
  std::vector<std::function<void(const Status&)>> write_waiters_;
  QHash<QString, History> histories_;
  QFileSystemWatcher* watcher_ = nullptr;
};

}  // namespace quorlan

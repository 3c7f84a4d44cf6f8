#include "core/annotation_document.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFuture>
#include <QPointer>
#include <QPromise>
#include <QThreadPool>
#include <QUndoCommand>
#include <QUndoStack>
#include <algorithm>
#include <memory>

#include "core/work_pool.h"

namespace quorlan {

bool AnnotationState::same_as(const AnnotationState& o) const {
  if (confirmed_empty != o.confirmed_empty || shapes.size() != o.shapes.size()) return false;
  for (int i = 0; i < shapes.size(); ++i)
    if (!shapes[i].same_shape(o.shapes[i])) return false;
  return true;
}

Annotation annotation_of(const LabelShape& shape) {
  Annotation a;
  a.class_id = shape.class_id;
  a.kind = shape.box ? LabelKind::Boxes : LabelKind::Polygons;
  a.points = shape.points;
  a.type = shape.box || shape.points.size() == 4 ? QStringLiteral("Rectangle") : QStringLiteral("Polygon");
  a.raw = shape.raw;
  return a;
}

Annotation drawn_annotation(int class_id, LabelKind kind, const QPolygonF& points, const QString& type) {
  Annotation a;
  a.class_id = class_id;
  a.kind = kind;
  a.type = type;
  if (kind == LabelKind::Boxes) {
    // What it is now, not how it was drawn: a box shows as a rectangle.
    if (!type.endsWith(QLatin1String("Rectangle")))
      a.type = type.startsWith(QLatin1String("AI ")) ? QStringLiteral("AI Rectangle") : QStringLiteral("Rectangle");
    a.points = box_corners(points.boundingRect());
  } else {
    a.points = points;
  }
  return a;
}

KindCounts kinds_of(const QVector<Annotation>& shapes) {
  KindCounts counts;
  for (const Annotation& a : shapes) ++(a.is_box() ? counts.boxes : counts.polygons);
  return counts;
}

// One edit: the document's state before and after it. The edit is made when the command is
// pushed, so its first redo does nothing.
class AnnotationCommand : public QUndoCommand {
 public:
  AnnotationCommand(AnnotationDocument* document, const QString& text, AnnotationState before, AnnotationState after)
      : QUndoCommand(text), document_(document), before_(std::move(before)), after_(std::move(after)) {}
  void undo() override { document_->set_state(before_); }
  void redo() override {
    if (first_) {
      first_ = false;
      return;
    }
    document_->set_state(after_);
  }

 private:
  AnnotationDocument* document_;
  AnnotationState before_;
  AnnotationState after_;
  bool first_ = true;
};

AnnotationDocument::AnnotationDocument(QObject* parent) : QObject(parent) {}

AnnotationDocument::~AnnotationDocument() {
  count_write_in_flight(-writing_);  // writes still on their way land without telling anyone
  for (const History& history : std::as_const(histories_)) delete history.stack;
}

void AnnotationDocument::open(const QString& path, int class_count, QSize image_size) {
  close();
  path_ = path;
  size_ = image_size;
  stamp_ = file_stamp(path);
  if (stamp_.exists) {
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) {
      read_error_ = QStringLiteral("%1: %2").arg(path, loaded.error());
    } else {
      const LabelReadResult read = parse_label_bytes(*loaded, class_count, image_size.width(), image_size.height());
      state_.shapes.reserve(read.shapes.size());
      for (const LabelShape& shape : read.shapes) state_.shapes.append(annotation_of(shape));
      kept_ = read.kept;
      eol_ = read.eol;
      line_error_ = read.first_malformed;
      state_.confirmed_empty = read.shapes.isEmpty() && read.kept.isEmpty();
    }
  }
  // The history of this image stays only while its label file and picture are the ones it was
  // made on: another program's change makes its steps meaningless.
  if (const auto found = histories_.find(path_); found != histories_.end()) {
    if (found->label_stamp != stamp_ || found->image_size != size_) {
      found->stack->clear();
      found->label_stamp = stamp_;
      found->image_size = size_;
    }
  }
  watch();
  emit shapes_changed();
}

void AnnotationDocument::close() {
  path_.clear();
  size_ = {};
  state_ = {};
  kept_.clear();
  eol_ = "\n";
  line_error_.clear();
  read_error_.clear();
  stamp_ = {};
  changed_ = false;
  if (watcher_) {
    delete watcher_;
    watcher_ = nullptr;
  }
}

// While a write of ours is on its way, the file is ours: what the disk shows is our own write.
bool AnnotationDocument::changed_on_disk() const { return is_open() && !writing() && file_stamp(path_) != stamp_; }

void AnnotationDocument::watch() {
  delete watcher_;
  watcher_ = new QFileSystemWatcher(this);
  // The file when it exists; its folder tells when one is created.
  if (stamp_.exists) watcher_->addPath(path_);
  watcher_->addPath(QFileInfo(path_).absolutePath());
  connect(watcher_, &QFileSystemWatcher::fileChanged, this, &AnnotationDocument::on_disk_event);
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &AnnotationDocument::on_disk_event);
}

void AnnotationDocument::on_disk_event() {
  if (changed_on_disk()) emit file_changed_on_disk();
}

void AnnotationDocument::discard_changes() {
  changed_ = false;
  if (QUndoStack* stack = undo_stack()) stack->clear();
}

QUndoStack* AnnotationDocument::undo_stack() const {
  const auto found = histories_.find(path_);
  return found == histories_.end() ? nullptr : found->stack;
}

bool AnnotationDocument::can_undo() const {
  const QUndoStack* stack = undo_stack();
  return stack && stack->canUndo();
}

bool AnnotationDocument::can_redo() const {
  const QUndoStack* stack = undo_stack();
  return stack && stack->canRedo();
}

void AnnotationDocument::undo() {
  if (QUndoStack* stack = undo_stack(); stack && stack->canUndo()) stack->undo();
}

void AnnotationDocument::redo() {
  if (QUndoStack* stack = undo_stack(); stack && stack->canRedo()) stack->redo();
}

void AnnotationDocument::set_state(const AnnotationState& state) {
  state_ = state;
  changed_ = true;
  emit shapes_changed();
}

bool AnnotationDocument::apply(const QString& text, AnnotationState after) {
  if (!is_open()) return false;
  if (!after.shapes.isEmpty()) after.confirmed_empty = false;  // an image with objects is no background
  if (after.same_as(state_)) return false;
  History& history = histories_[path_];
  if (!history.stack) {
    history.stack = new QUndoStack;
    history.label_stamp = stamp_;
    history.image_size = size_;
  }
  AnnotationState before = state_;
  state_ = std::move(after);
  changed_ = true;
  history.stack->push(new AnnotationCommand(this, text, std::move(before), state_));
  emit shapes_changed();
  return true;
}

bool AnnotationDocument::add(const QString& text, const QVector<Annotation>& added) {
  if (added.isEmpty()) return false;
  AnnotationState after = state_;
  after.shapes += added;
  return apply(text, std::move(after));
}

bool AnnotationDocument::remove(QVector<int> rows) {
  std::sort(rows.begin(), rows.end(), std::greater<int>());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  AnnotationState after = state_;
  for (int row : rows)
    if (row >= 0 && row < after.shapes.size()) after.shapes.remove(row);
  return apply(QStringLiteral("Delete"), std::move(after));
}

bool AnnotationDocument::translate(const QVector<int>& rows, QPointF delta) {
  if (delta.isNull()) return false;
  AnnotationState after = state_;
  for (int row : rows) {
    if (row < 0 || row >= after.shapes.size()) continue;
    Annotation& shape = after.shapes[row];
    shape.points.translate(delta);
    shape.raw.clear();
    shape.filled = false;  // moved by the user: a keyframe of its track
  }
  return apply(QStringLiteral("Move"), std::move(after));
}

bool AnnotationDocument::set_points(int row, const QPolygonF& points, const QString& text) {
  if (row < 0 || row >= state_.shapes.size() || points.size() < 3) return false;
  AnnotationState after = state_;
  Annotation& shape = after.shapes[row];
  // A box stays a box: its vertices are its bounding rectangle's corners. Reshaped by the user, a
  // box of a track is a keyframe.
  const int track = shape.track;
  shape = drawn_annotation(shape.class_id, shape.kind, points, shape.type);
  shape.track = track;
  return apply(text, std::move(after));
}

bool AnnotationDocument::set_class(int row, int class_id) {
  if (row < 0 || row >= state_.shapes.size() || state_.shapes[row].class_id == class_id) return false;
  AnnotationState after = state_;
  after.shapes[row].class_id = class_id;
  after.shapes[row].raw.clear();
  return apply(QStringLiteral("Change Class"), std::move(after));
}

bool AnnotationDocument::replace_all(const QString& text, const QVector<Annotation>& shapes) {
  AnnotationState after;
  after.shapes = shapes;
  return apply(text, std::move(after));
}

void AnnotationDocument::mark_tracks(const std::function<void(QVector<Annotation>&)>& mark) {
  if (!is_open()) return;
  mark(state_.shapes);
  emit shapes_changed();
}

bool AnnotationDocument::confirm_empty() {
  if (!state_.shapes.isEmpty() || !kept_.isEmpty() || !read_error_.isEmpty()) return false;
  AnnotationState after;
  after.confirmed_empty = true;
  return apply(QStringLiteral("Confirm No Objects"), std::move(after));
}

QByteArray AnnotationDocument::line_for(const Annotation& shape) const {
  if (!shape.raw.isEmpty()) return shape.raw;
  const QString line = shape.is_box() ? format_box_line(shape.class_id, shape.points, size_.width(), size_.height())
                                      : format_label_line(shape.class_id, shape.points, size_.width(), size_.height());
  return line.toLatin1();
}

QByteArray AnnotationDocument::bytes() const {
  QByteArray out;
  for (const Annotation& shape : state_.shapes) out += line_for(shape) + eol_;
  for (const QByteArray& line : kept_) out += line + eol_;
  return out;
}

Expected<AnnotationDocument::Write> AnnotationDocument::next_write() {
  if (!read_error_.isEmpty())
    return failure(QStringLiteral("the label file could not be read (%1), so it is not written over").arg(read_error_));
  Write write{path_, bytes()};
  write.remove = write.content.isEmpty() && !state_.confirmed_empty;
  // What goes to disk is what is written: each shape's line is its own from now on.
  for (Annotation& shape : state_.shapes) shape.raw = line_for(shape);
  return write;
}

Expected<FileStamp> AnnotationDocument::put_on_disk(const Write& write) {
  if (write.remove) {
    if (file_stamp(write.path).exists) {
      QFile file(write.path);
      if (!file.remove()) return failure(file.errorString());
    }
  } else if (const Status written = write_file_atomically(write.path, write.content); !written) {
    return failure(written.error());
  }
  return file_stamp(write.path);
}

void AnnotationDocument::write_landed(const QString& path, const FileStamp& stamp) {
  if (const auto history = histories_.find(path); history != histories_.end()) history->label_stamp = stamp;
  if (path != path_) return;
  stamp_ = stamp;
  // The file written is a new one (renamed into place): the watch follows it.
  if (watcher_) {
    if (!watcher_->files().isEmpty()) watcher_->removePaths(watcher_->files());
    if (stamp_.exists) watcher_->addPath(path_);
  }
}

Status AnnotationDocument::save() {
  if (!is_open()) return {};
  const Expected<Write> write = next_write();
  if (!write) return failure(write.error());
  const Expected<FileStamp> stamp = put_on_disk(*write);
  if (!stamp) return failure(stamp.error());
  changed_ = false;
  write_landed(write->path, *stamp);
  return {};
}

void AnnotationDocument::save_beside() {
  if (!is_open()) return;
  Expected<Write> write = next_write();
  if (!write) {
    last_write_ = failure(write.error());
    if (!writing()) when_written({});  // those waiting hear it now
    return;
  }
  changed_ = false;
  ++writing_;
  count_write_in_flight(+1);
  auto promise = std::make_shared<QPromise<Expected<FileStamp>>>();
  const QString path = write->path;
  // The continuation is in place before the write starts: it always comes back through the
  // event queue of this object's thread, never inline in the middle of the caller's step. Its
  // context is the application, which outlives the write; a document gone by then (its
  // destructor counted its writes off) hears nothing.
  promise->future().then(QCoreApplication::instance(),
                         [this, guard = QPointer<AnnotationDocument>(this), path](const Expected<FileStamp>& stamp) {
                           if (!guard) return;
                           count_write_in_flight(-1);
                           --writing_;
                           if (stamp) {
                             write_landed(path, *stamp);
                             last_write_ = {};
                           } else {
                             last_write_ = failure(stamp.error());
                             if (path == path_) changed_ = true;  // the shapes on screen are not on disk
                           }
                           if (!writing()) when_written({});
                         });
  write_pool().start([promise, write = *write] {
    promise->start();
    promise->addResult(put_on_disk(write));
    promise->finish();
  });
}

void AnnotationDocument::when_written(std::function<void(const Status&)> landed) {
  if (landed) write_waiters_.push_back(std::move(landed));
  if (writing()) return;
  const std::vector<std::function<void(const Status&)>> waiting = std::exchange(write_waiters_, {});
  if (waiting.empty()) return;  // a failure is kept for the first who asks
  const Status outcome = std::exchange(last_write_, {});
  for (const auto& waiter : waiting) waiter(outcome);
}

}  // namespace quorlan

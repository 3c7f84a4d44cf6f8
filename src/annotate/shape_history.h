#pragma once
// The undo history of one image: every edit is a command holding the image's shapes before
// and after it, so undo and redo put back exactly what was on screen.
#include <QByteArray>
#include <QPolygonF>
#include <QString>
#include <QUndoCommand>
#include <QVector>
#include <functional>

namespace quorlan {

struct ShapeState {
  int class_id = 0;
  QString type;
  bool box = false;
  QPolygonF points;  // in image pixels
  QByteArray raw;    // the file's line for `original`, kept while the shape is unchanged
  QPolygonF original;
  // The same shape for the user (class, kind and vertices); `raw` and `original` only follow
  // what the file holds.
  bool same_shape(const ShapeState& o) const {
    return class_id == o.class_id && box == o.box && type == o.type && points == o.points;
  }
};

struct ImageState {
  QVector<ShapeState> shapes;
  bool confirmed_empty = false;  // no objects, on purpose: written as an empty label file
  bool same_as(const ImageState& o) const;
};

// An edit that has already been made when it is pushed: the first redo does nothing.
class SnapshotCommand : public QUndoCommand {
 public:
  using Apply = std::function<void(const ImageState&)>;
  SnapshotCommand(const QString& text, ImageState before, ImageState after, Apply apply);
  void undo() override;
  void redo() override;

 private:
  ImageState before_;
  ImageState after_;
  Apply apply_;
  bool done_ = true;
};

}  // namespace quorlan

#include "annotate/shape_history.h"

#include <utility>

namespace quorlan {

bool ImageState::same_as(const ImageState& o) const {
  if (confirmed_empty != o.confirmed_empty || shapes.size() != o.shapes.size()) return false;
  for (int i = 0; i < shapes.size(); ++i)
    if (!shapes[i].same_shape(o.shapes[i])) return false;
  return true;
}

SnapshotCommand::SnapshotCommand(const QString& text, ImageState before, ImageState after, Apply apply)
    : QUndoCommand(text), before_(std::move(before)), after_(std::move(after)), apply_(std::move(apply)) {}

void SnapshotCommand::undo() {
  done_ = false;
  apply_(before_);
}

void SnapshotCommand::redo() {
  if (done_) return;  // pushed after the edit was made on screen
  done_ = true;
  apply_(after_);
}

}  // namespace quorlan

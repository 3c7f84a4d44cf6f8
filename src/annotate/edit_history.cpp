#include "annotate/edit_history.h"

namespace quorlan {

int EditHistory::last_index_for(const QString& picture) const {
  for (int i = static_cast<int>(steps_.size()) - 1; i >= 0; --i)
    if (steps_[i].isEmpty() || steps_[i] == picture) return i;
  return -1;
}

EditHistory::Step EditHistory::last_for(const QString& picture) const {
  const int i = last_index_for(picture);
  if (i < 0) return Step::None;
  return steps_[i].isEmpty() ? Step::ClassChange : Step::PictureEdit;
}

void EditHistory::drop_last_for(const QString& picture) {
  if (const int i = last_index_for(picture); i >= 0) steps_.remove(i);
}

void EditHistory::class_change_undone() {
  for (int i = static_cast<int>(steps_.size()) - 1; i >= 0; --i)
    if (steps_[i].isEmpty()) {
      steps_.remove(i);
      return;
    }
}

}  // namespace quorlan

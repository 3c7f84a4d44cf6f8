#pragma once
// The folder's one line of history: every shape edit (with the picture it was made on) and every
// class change, in the order they were made. Undo takes back the last of them that the picture
// shown can take back: its own edits and the folder's class changes. Another picture's edits wait
// in that picture's own history until it is shown. Widget-free.
#include <QString>
#include <QVector>

namespace quorlan {

class EditHistory {
 public:
  enum class Step { None, PictureEdit, ClassChange };

  // A shape edit (or a redo) on `picture`.
  void edited(const QString& picture) { steps_.append(picture); }
  // A class change of the folder.
  void class_changed() { steps_.append(QString()); }
  // What Ctrl+Z takes back now, with `picture` shown.
  Step last_for(const QString& picture) const;
  // The step last_for() named leaves the line (it was taken back, or there was nothing to take).
  void drop_last_for(const QString& picture);
  // The newest class change leaves the line (taken back from the class list's own button).
  void class_change_undone();
  // Another folder: its history starts afresh.
  void clear() { steps_.clear(); }

 private:
  int last_index_for(const QString& picture) const;
  QVector<QString> steps_;  // a picture's path, or empty for a class change
};

}  // namespace quorlan

#include "annotate/class_changes.h"

#include <QFileInfo>

#include "core/atomic_file.h"
#include "core/label_files.h"

namespace quorlan {

void ClassChanges::reset(const QString& folder, const QString& names_file) {
  folder_ = folder;
  names_file_ = names_file;
  changes_.clear();
}

void ClassChanges::join_class_list(ClassChange& change, const QStringList& names) const {
  if (const Expected<QByteArray> now = read_regular_file(names_file_))
    change.files_before.insert(names_file_, *now);
  else if (!QFileInfo::exists(names_file_))
    change.created << names_file_;
  change.files_after.insert(names_file_, classes_file_bytes(names));
}

ClassChange ClassChanges::change_for(const QString& title, const QStringList& names, const ClassMapping& mapping,
                                     const ClassRewrite& plan) const {
  ClassChange change{title, names, mapping.names, plan.before, plan.after, {}, {}};
  join_class_list(change, mapping.names);
  return change;
}

Expected<ClassChange> ClassChanges::undo_of_last(const QStringList& names) const {
  if (changes_.isEmpty()) return failure(QStringLiteral("There is no class change to take back."));
  const ClassChange& last = changes_.last();
  if (names != last.names_after)
    return failure(QStringLiteral("The class list changed after \"%1\"; it is not taken back.").arg(last.title));
  // The files go back from what the change wrote; the class list from what it holds now.
  ClassChange back{last.title, last.names_after, last.names_before, last.files_after, last.files_before, {}, {}};
  back.files_before.remove(names_file_);
  back.files_after.remove(names_file_);
  // The files it made go again (and come back on a redo); the class list is only written when the
  // change gave it other names.
  for (const QString& made : last.created) {
    if (made == names_file_) continue;
    back.removed << made;
    back.files_after.insert(made, {});
  }
  for (const QString& gone : last.removed) {
    back.created << gone;
    back.files_before.remove(gone);
  }
  if (last.names_before != last.names_after) join_class_list(back, last.names_before);
  return back;
}

Status ClassChanges::write(const ClassChange& change) const {
  return rewrite_label_files(change.files_before, change.files_after, class_change_journal(folder_), change.created,
                             change.removed);
}

}  // namespace quorlan

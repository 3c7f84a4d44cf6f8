// The annotator's class list as something the user edits: rename, merge, delete, move, undo.
#include <QDir>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>

#include "annotate/annotator_tab.h"
#include "annotate/class_changes.h"
#include "annotate/label_dialog.h"
#include "core/atomic_file.h"
#include "core/class_names.h"
#include "core/label_files.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"

namespace quorlan {

int AnnotatorTab::selected_class() const {
  const QListWidgetItem* item = list_classes->currentItem();
  if (!item) return -1;
  const int id = item->data(Qt::UserRole).toInt();
  return id >= 0 && id < classes.size() ? id : -1;
}

void AnnotatorTab::update_class_buttons() {
  const int id = selected_class();
  for (QPushButton* button : {btn_class_rename, btn_class_delete}) button->setEnabled(id >= 0);
  btn_class_merge->setEnabled(id >= 0 && classes.size() > 1);
  btn_class_up->setEnabled(id > 0);
  btn_class_down->setEnabled(id >= 0 && id + 1 < classes.size());
  btn_class_undo->setEnabled(!class_changes_.isEmpty());
  btn_class_undo->setToolTip(
      class_changes_.isEmpty()
          ? QStringLiteral("Undo the last class change")
          : QStringLiteral("Undo \"%1\" (Ctrl+Z while it is the last edit)").arg(class_changes_.last().title));
}

bool AnnotatorTab::class_edit_allowed(const QString& title) {
  if (queue_.folder().isEmpty()) return false;
  if (names_manifest_.isEmpty()) return true;
  prompts().information(this, title,
                        QStringLiteral("The class names of this folder come from %1, which the studio does not "
                                       "rewrite, and the dataset's other splits use the same ids.\n\nMerge, delete or "
                                       "reorder its classes where the whole dataset is: in the manifest's folders "
                                       "with their classes.txt, or in the engine's own tools.")
                            .arg(QDir::toNativeSeparators(names_manifest_)));
  return false;
}

bool AnnotatorTab::set_class_names(const QStringList& names) {
  classes = names;
  const bool saved = save_classes_file();
  show_class_names(names);
  classes_unsaved_ = !saved;
  return saved;
}

void AnnotatorTab::show_class_names(const QStringList& names) {
  classes = names;
  scan_largest_id();  // a merge, a delete or a move rewrote the ids
  classes_unsaved_ = false;
  rebuild_class_list();  // which updates the class buttons
  // The shapes on screen are read again: their ids, names and colours follow the files.
  reload_tracks();  // with the shapes on screen, read again
}

void AnnotatorTab::record_class_change(ClassChange change) {
  class_changes_.record(std::move(change));
  history_.class_changed();
  update_class_buttons();
  update_history_buttons();
}

bool AnnotatorTab::rename_class(int id) {
  if (id < 0 || id >= classes.size() || queue_.folder().isEmpty()) return false;
  // The shapes on screen reach disk before files are rewritten.
  if (!resolve_unsaved([this, id] { rename_class(id); })) return false;
  const QString answer = clean_class_name(prompts().get_text(
      this, "Rename Class", QStringLiteral("New name for \"%1\" (id %2):").arg(classes[id]).arg(id), classes[id]));
  if (answer.isEmpty() || answer == classes[id]) return false;
  if (const QString problem = LabelDialog::label_problem(answer); !problem.isEmpty()) {
    prompts().warning(this, "Invalid Label", problem);
    return false;
  }
  if (const int existing = static_cast<int>(classes.indexOf(answer)); existing >= 0) {
    // Two classes under one name is a merge.
    if (prompts().choose(this, "Rename Class",
                         QStringLiteral("\"%1\" is already a class. Merge \"%2\" into it?").arg(answer, classes[id]),
                         {"Merge", "Cancel"}) != 0)
      return false;
    if (!class_edit_allowed("Merge Classes")) return false;
    apply_class_mapping(QStringLiteral("Merge \"%1\" into \"%2\"").arg(classes[id], answer),
                        merge_classes(classes, id, existing), id, QStringLiteral("they become \"%1\".").arg(answer));
    return true;
  }
  const QStringList before = classes;
  QStringList after = classes;
  after[id] = answer;
  if (!set_class_names(after)) {
    set_class_names(before);
    return false;
  }
  record_class_change(
      {QStringLiteral("Rename \"%1\" to \"%2\"").arg(before[id], answer), before, after, {}, {}, {}, {}});
  if (!names_manifest_.isEmpty())
    emit notice_signal(QStringLiteral("The new name is kept in classes.txt; %1 still holds the old one.")
                           .arg(QFileInfo(names_manifest_).fileName()));
  return true;
}

void AnnotatorTab::merge_class(int from) {
  if (from < 0 || from >= classes.size() || classes.size() < 2 || !class_edit_allowed("Merge Classes")) return;
  QStringList targets;
  QVector<int> ids;
  for (int id = 0; id < classes.size(); ++id)
    if (id != from) {
      targets << QStringLiteral("%1 (id %2)").arg(classes[id]).arg(id);
      ids << id;
    }
  const int picked =
      prompts().get_item(this, "Merge Classes", QStringLiteral("Merge \"%1\" into:").arg(classes[from]), targets);
  if (picked < 0 || picked >= ids.size()) return;
  const int into = ids[picked];
  apply_class_mapping(QStringLiteral("Merge \"%1\" into \"%2\"").arg(classes[from], classes[into]),
                      merge_classes(classes, from, into), from,
                      QStringLiteral("they become \"%1\".").arg(classes[into]));
}

void AnnotatorTab::delete_class(int id) {
  if (id < 0 || id >= classes.size() || !class_edit_allowed("Delete Class")) return;
  apply_class_mapping(QStringLiteral("Delete \"%1\"").arg(classes[id]), quorlan::delete_class(classes, id), id,
                      QStringLiteral("they are deleted."));
}

void AnnotatorTab::move_class(int id, int step) {
  const int other = id + step;
  if (id < 0 || id >= classes.size() || other < 0 || other >= classes.size() || !class_edit_allowed("Move Class"))
    return;
  apply_class_mapping(QStringLiteral("Move \"%1\"").arg(classes[id]), swap_classes(classes, id, other), id,
                      QStringLiteral("they take id %1, and \"%2\" takes id %3.").arg(other).arg(classes[other]).arg(id),
                      other);
}

void AnnotatorTab::apply_class_mapping(const QString& title, const ClassMapping& mapping, int subject,
                                       const QString& what, int pick_after) {
  // The shapes on screen reach disk before files are rewritten; the change is asked again then,
  // unless another changed the classes meanwhile.
  if (!resolve_unsaved([this, title, mapping, subject, what, pick_after, names = classes] {
        if (classes == names) apply_class_mapping(title, mapping, subject, what, pick_after);
      }))
    return;
  // Every label file of the folder is read beside the window (the busy box after a moment).
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, QStringLiteral("Reading the label files..."), control,
      [paths = queue_.label_paths(), new_id = mapping.new_id] { return plan_class_rewrite(paths, new_id); },
      [this, control, title, mapping, subject, what, pick_after, names = classes](const ClassRewrite& plan) {
        if (control->cancel || classes != names) return;
        if (confirm_class_rewrite(title, plan, subject, what)) rewrite_classes(title, mapping, plan, pick_after);
      });
}

bool AnnotatorTab::confirm_class_rewrite(const QString& title, const ClassRewrite& plan, int subject,
                                         const QString& what) {
  if (!plan.unreadable.isEmpty()) {
    prompts().warning(this, title,
                      QStringLiteral("%1 label file(s) cannot be read, so their ids could not follow (first: %2). "
                                     "Nothing was changed.")
                          .arg(plan.unreadable.size())
                          .arg(QDir::toNativeSeparators(plan.unreadable.first())));
    return false;
  }
  if (plan.files.isEmpty()) return true;
  QString counts = QStringLiteral("%1 label file(s) will be rewritten").arg(plan.files.size());
  if (plan.objects > 0) counts += QStringLiteral(": %1 object(s) change class").arg(plan.objects);
  if (plan.deleted > 0)
    counts += QStringLiteral("%1 %2 object(s) are deleted").arg(plan.objects > 0 ? "," : ":").arg(plan.deleted);
  // What happens to the picked class's objects, and to those of the classes whose ids move.
  const int own = plan.by_class.value(subject);
  QString effect = QStringLiteral("%1 object(s) of \"%2\": %3").arg(own).arg(classes.value(subject), what);
  if (const int others = plan.objects + plan.deleted - own; others > 0)
    effect += QStringLiteral("\n%1 object(s) of other classes take their class's new id.").arg(others);
  return prompts().choose(
             this, title,
             QStringLiteral(
                 "%1?\n\n%2\n%3.\n\nUndo Class Change (or Ctrl+Z) puts every file back while the studio runs.")
                 .arg(title, effect, counts),
             {"Rewrite Files", "Cancel"}) == 0;
}

void AnnotatorTab::rewrite_classes(const QString& title, const ClassMapping& mapping, const ClassRewrite& plan,
                                   int pick_after) {
  // The label files and the class list change as one.
  write_class_change(
      class_changes_.change_for(title, classes, mapping, plan), QString(),
      [this, mapping, pick_after, files = plan.files.size()](ClassChange change) {
        QSet<int> hidden;
        for (int id : std::as_const(hidden_classes)) {
          const int mapped = id < mapping.new_id.size() ? mapping.new_id[id] : id;
          if (mapped >= 0) hidden.insert(mapped);
        }
        hidden_classes = hidden;
        show_class_names(change.names_after);
        emit notice_signal(QStringLiteral("%1: %2 label file(s) rewritten").arg(change.title).arg(files));
        record_class_change(std::move(change));
        if (pick_after >= 0) list_classes->setCurrentRow(pick_after);
      });
}

void AnnotatorTab::write_class_change(const ClassChange& change, const QString& failed,
                                      std::function<void(ClassChange)> written) {
  // One journaled change: once begun it is not cut short (Cancel waits for its end), and a crash
  // in the middle is rolled back when the folder is next opened.
  run_beside_window(
      this, QStringLiteral("Rewriting the label files..."), std::make_shared<WorkControl>(),
      [changes = class_changes_, change] { return changes.write(change); },
      [this, change, failed, written = std::move(written)](const Status& outcome) {
        if (!outcome) return prompts().warning(this, change.title, failed + outcome.error());
        written(change);
      });
}

void AnnotatorTab::undo_class_change() {
  if (class_changes_.isEmpty()) return;
  Expected<ClassChange> back = class_changes_.undo_of_last(classes);
  if (!back) return prompts().warning(this, "Undo Class Change", back.error());
  if (!resolve_unsaved([this] { undo_class_change(); })) return;
  const QString title = back->title;
  ClassChange change = *back;
  change.title = QStringLiteral("Undo Class Change");
  write_class_change(change, QStringLiteral("\"%1\" is not taken back: ").arg(title),
                     [this, title](const ClassChange& done) {
                       show_class_names(done.names_after);
                       remark_pictures(done.files_after.keys());
                       emit notice_signal(QStringLiteral("Undone: %1").arg(title));
                       class_changes_.drop_last();
                       history_.class_change_undone();
                       update_class_buttons();
                       update_history_buttons();
                     });
}

}  // namespace quorlan

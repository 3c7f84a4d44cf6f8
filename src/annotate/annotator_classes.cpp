#include "annotate/annotator_tab.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QUndoStack>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "annotate/label_dialog.h"
#include "core/atomic_file.h"
#include "core/class_colours.h"
#include "core/class_names.h"
#include "core/constants.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/label_files.h"
#include "core/label_kind.h"
#include "core/polygon_edit.h"
#include "engine_client/engine_host.h"
#include "widgets/background_work.h"
#include "widgets/bgr_pixmap.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/prompts.h"
#include "widgets/shape_item.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

int AnnotatorTab::class_count() const { return classes.isEmpty() ? -1 : static_cast<int>(classes.size()); }

QString AnnotatorTab::class_name(int id) const {
  return id >= 0 && id < classes.size() ? classes[id] : QString::number(id);
}

// ---------------------------------------------------------------- the folder's label kind

void AnnotatorTab::settle_label_kind() {
  if (label_kind_settled_) return;
  const KindCounts saved = kinds_of(document->shapes());
  if (saved.boxes + saved.polygons == 0) return;
  label_kind_ = saved.polygons > 0 ? LabelKind::Polygons : LabelKind::Boxes;
  label_kind_settled_ = true;
  show_label_kind();
}

void AnnotatorTab::show_label_kind() {
  lbl_label_kind->setText(label_kind_settled_ || queue_.isEmpty()
                              ? "Labels: " + label_kind_name(label_kind_)
                              : QStringLiteral("Labels: none yet (rectangles as boxes)"));
  btn_label_kind->setText(label_kind_ == LabelKind::Boxes ? "Switch to Polygons" : "Switch to Boxes");
  lbl_label_kind->setToolTip(
      label_kind_settled_ ? QStringLiteral("What new shapes are saved as in this folder: box lines (detection) or "
                                           "polygon lines (segmentation). Taken from the folder's label files.")
                          : QStringLiteral("The folder has no labels yet: a rectangle is saved as a box line, any "
                                           "other shape as a polygon line, and the first shape saved sets the "
                                           "folder's kind."));
  btn_label_kind->setEnabled(!queue_.isEmpty());
}

void AnnotatorTab::switch_label_kind(LabelKind to, const std::function<void()>& switched) {
  if (to == label_kind_) {
    if (switched) switched();
    return;
  }
  // The shapes on screen reach disk before files are rewritten.
  if (!resolve_unsaved([this, to, switched] { switch_label_kind(to, switched); })) return;
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, QStringLiteral("Reading the label files..."), control,
      [paths = queue_.label_paths(), to] { return plan_kind_switch(paths, to); },
      [this, control, to, switched, from = label_kind_](const KindSwitch& plan) {
        if (control->cancel || label_kind_ != from || !confirm_kind_switch(plan, to)) return;
        run_beside_window(
            this, QStringLiteral("Rewriting the label files..."), std::make_shared<WorkControl>(),
            [plan, to] { return apply_kind_switch(plan, to); },
            [this, to, switched](const Expected<int>& written) { kind_switched(to, written, switched); });
      });
}

bool AnnotatorTab::confirm_kind_switch(const KindSwitch& plan, LabelKind to) {
  if (plan.files.isEmpty()) return true;
  const QString what = to == LabelKind::Boxes
                           ? QStringLiteral("Every polygon line becomes its bounding box (the outline is lost).")
                           : QStringLiteral("Every box line becomes a polygon of its four corners.");
  return prompts().choose(
             this, "Switch Label Kind",
             QStringLiteral(
                 "Switch this folder's labels to %1?\n\n%2\n\n%3 line(s) in %4 label file(s) will be rewritten.")
                 .arg(label_kind_name(to), what)
                 .arg(plan.lines)
                 .arg(plan.files.size()),
             {"Rewrite Files", "Cancel"}) == 0;
}

void AnnotatorTab::kind_switched(LabelKind to, const Expected<int>& written, const std::function<void()>& switched) {
  label_kind_ = to;
  label_kind_settled_ = true;
  show_label_kind();
  // The image on screen is read again from its rewritten file.
  if (const QString shown = shown_picture(); !shown.isEmpty()) load_existing_annotations(shown);
  if (!written) {
    prompts().warning(this, "Switch Label Kind",
                      "The switch stopped; the files before this one were rewritten:\n" + written.error());
    return;
  }
  emit notice_signal(QStringLiteral("Labels: %1 (%2 file(s) rewritten)").arg(label_kind_name(to)).arg(*written));
  if (switched) switched();
}

// ---------------------------------------------------------------- classes shown

void AnnotatorTab::set_class_hidden(int class_id, bool hidden) {
  if (hidden)
    hidden_classes.insert(class_id);
  else
    hidden_classes.remove(class_id);
  {
    const QSignalBlocker block(list_classes);
    for (int i = 0; i < list_classes->count(); ++i) {
      QListWidgetItem* item = list_classes->item(i);
      if (item->data(Qt::UserRole).toInt() == class_id) item->setCheckState(hidden ? Qt::Unchecked : Qt::Checked);
    }
  }
  apply_class_visibility();
  update_annotation_colors();
}

void AnnotatorTab::apply_class_visibility() {
  const QSignalBlocker block_scene(canvas);
  const QSignalBlocker block_table(table_objects);
  for (int row = 0; row < annotations.size(); ++row) {
    const bool hidden = hidden_classes.contains(annotations[row].shown.class_id);
    ShapeItem* item = annotations[row].item;
    if (hidden) item->setSelected(false);
    item->setVisible(!hidden);
    table_objects->setRowHidden(row, hidden);
    if (hidden && table_objects->currentRow() == row) table_objects->setCurrentCell(-1, -1);
  }
}

void AnnotatorTab::rebuild_class_list() {
  // The folder's names, and the ids of this image's shapes that have none.
  QVector<QPair<int, QString>> entries;
  for (int id = 0; id < classes.size(); ++id) entries.append({id, classes[id]});
  QSet<int> unnamed;
  for (const AnnotationRecord& record : annotations)
    if (record.shown.class_id >= classes.size()) unnamed.insert(record.shown.class_id);
  QList<int> ids(unnamed.cbegin(), unnamed.cend());
  std::sort(ids.begin(), ids.end());
  for (int id : ids) entries.append({id, QString::number(id)});
  bool same = list_classes->count() == entries.size();
  for (int i = 0; same && i < entries.size(); ++i)
    same = list_classes->item(i)->data(Qt::UserRole).toInt() == entries[i].first &&
           list_classes->item(i)->text() == entries[i].second;
  if (same) return update_class_buttons();
  const int picked = list_classes->currentRow();
  const QSignalBlocker block(list_classes);
  list_classes->clear();
  for (const auto& [id, name] : entries) {
    auto* item = new QListWidgetItem(name, list_classes);
    item->setData(Qt::UserRole, id);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(hidden_classes.contains(id) ? Qt::Unchecked : Qt::Checked);
  }
  recolour_class_list();
  if (picked >= 0 && picked < list_classes->count()) list_classes->setCurrentRow(picked);
  // As tall as its names (up to six rows), so that the class tools below it stay in sight.
  const int row = list_classes->sizeHintForRow(0) > 0 ? list_classes->sizeHintForRow(0) : 18;
  list_classes->setFixedHeight(std::clamp(static_cast<int>(list_classes->count()), 2, 6) * row +
                               2 * list_classes->frameWidth() + 4);
  update_class_buttons();
}

void AnnotatorTab::recolour_class_list() {
  // A class name is written in its class's colour, made readable on the list's background (the
  // standard green on the light theme's white would be 1.4 : 1).
  const QColor background = QApplication::palette().color(QPalette::Base);
  for (int i = 0; i < list_classes->count(); ++i) {
    QListWidgetItem* item = list_classes->item(i);
    item->setForeground(readable_on(class_colour(item->data(Qt::UserRole).toInt()), background));
  }
}

bool AnnotatorTab::write_or_warn(const QString& path, const QByteArray& data) {
  const Status written = write_file_atomically(path, data);
  if (written) return true;
  prompts().warning(this, "Save Failed",
                    QStringLiteral("Could not write %1:\n%2\n\nThe shapes are still on screen; "
                                   "fix the folder and save again.")
                        .arg(QDir::toNativeSeparators(path), written.error()));
  return false;
}

QString AnnotatorTab::classes_file_path() const { return QDir(queue_.folder()).filePath("classes.txt"); }

bool AnnotatorTab::save_classes_file() {
  if (queue_.folder().isEmpty()) return true;
  return write_or_warn(classes_file_path(), classes_file_bytes(classes));
}

int AnnotatorTab::largest_id_in_folder() const {
  int largest = -1;
  for (const Annotation& shape : document->shapes()) largest = std::max(largest, shape.class_id);
  // The folder's label files are read beside the window once it opens; until that answer is in,
  // they are read here.
  return std::max(largest, largest_ready_ ? largest_known_ : largest_label_id(queue_.label_paths()));
}

void AnnotatorTab::scan_largest_id() {
  largest_ready_ = false;
  largest_known_ = -1;
  const int scan = ++largest_scan_;
  run_behind_tab(
      this, std::make_shared<WorkControl>(), [paths = queue_.label_paths()] { return largest_label_id(paths); },
      [this, scan](int largest) {
        if (scan != largest_scan_) return;  // another folder, or the ids were rewritten since
        largest_known_ = std::max(largest_known_, largest);
        largest_ready_ = true;
      });
}

int AnnotatorTab::class_id_for(const QString& label, int chosen_index) {
  if (chosen_index >= 0 && chosen_index < classes.size() && classes[chosen_index] == label) return chosen_index;
  const int known = static_cast<int>(classes.indexOf(label));
  if (known >= 0) return known;
  // Without names every shape shows its id: a number typed is that id. With names it is a name,
  // so no id is ever written without one.
  bool is_number = false;
  const int number = label.toInt(&is_number);
  if (classes.isEmpty() && is_number && number >= 0 && label == QString::number(number)) return number;
  // A new class: the list keeps a name for every id in use, so existing ids keep their names.
  QStringList grown = classes;
  const int largest = largest_id_in_folder();
  while (grown.size() <= largest) grown << QString::number(grown.size());
  grown << label;
  classes = grown;
  // When classes.txt cannot be written the class still counts on screen; every later save
  // tries the file again before the label file, so no id reaches disk without its name.
  classes_unsaved_ = !save_classes_file();
  rebuild_class_list();
  if (!names_manifest_.isEmpty() && !manifest_told_) {
    manifest_told_ = true;
    prompts().message(
        this, MessageKind::Warning, "New Class",
        QStringLiteral("The class names of this folder come from %1, which the studio does not rewrite.\n\n"
                       "\"%2\" (id %3) is kept in %4 with the names before it. Add it to the names of %1 "
                       "before training with that file; the studio's export writes a data.yaml with every name.")
            .arg(QDir::toNativeSeparators(names_manifest_), label)
            .arg(classes.size() - 1)
            .arg(QDir::toNativeSeparators(classes_file_path())));
  }
  return static_cast<int>(classes.size()) - 1;
}

}  // namespace quorlan

#include "annotate/annotator_tab.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QUndoStack>
#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

#include "annotate/label_dialog.h"
#include "core/atomic_file.h"
#include "core/class_colours.h"
#include "core/class_edit.h"
#include "core/class_names.h"
#include "core/constants.h"
#include "core/label_files.h"
#include "core/polygon_edit.h"
#include "widgets/interactive_canvas.h"
#include "widgets/prompts.h"
#include "widgets/shape_item.h"

namespace quorlan {

namespace {

// A shape whose corners are dragged as a rectangle's: a box, or a drawn rectangle that is still one.
bool keeps_rectangle(const Annotation& shape) {
  return (shape.is_box() || shape.type.endsWith(QLatin1String("Rectangle"))) && is_axis_aligned_rectangle(shape.points);
}

void print_line(const QString& text) {
  std::printf("%s\n", text.toLocal8Bit().constData());
  std::fflush(stdout);
}

}  // namespace

// ---------------------------------------------------------------- the document on screen

void AnnotatorTab::insert_record(int row, const Annotation& shape) {
  AnnotationRecord record;
  record.item = new ShapeItem(shape.points, keeps_rectangle(shape));
  record.shown = shape;
  record.label = class_name(shape.class_id);
  annotations.insert(row, record);
}

void AnnotatorTab::update_record(int row, const Annotation& shape) {
  AnnotationRecord& record = annotations[row];
  // A dragged item sits at an offset; the document's points put it back at the origin.
  if (record.item->pos() != QPointF() || record.item->scene_points() != shape.points)
    record.item->set_scene_points(shape.points);
  record.item->set_rectangle(keeps_rectangle(shape));
  record.shown = shape;
  record.label = class_name(shape.class_id);
  annotations.refresh_row(row);
}

// Only the rows that differ are touched: the unchanged runs at both ends stay as they are, and in
// between a row that still shows its shape keeps its item, so undoing one edit among thousands of
// shapes costs about one shape and a deletion leaves the other items alone.
void AnnotatorTab::mirror_document() {
  const QSignalBlocker block_scene(canvas);
  const QSignalBlocker block_table(table_objects);
  const QVector<Annotation>& shapes = document->shapes();
  const auto same = [&](int row, int index) {
    const AnnotationRecord& record = annotations[row];
    return record.shown.same_shape(shapes[index]) && record.item->pos() == QPointF() &&
           record.label == class_name(shapes[index].class_id);
  };
  const int new_count = static_cast<int>(shapes.size());
  int front = 0;
  while (front < annotations.size() && front < new_count && same(front, front)) ++front;
  int back = 0;
  while (back < annotations.size() - front && back < new_count - front &&
         same(annotations.size() - 1 - back, new_count - 1 - back))
    ++back;
  int row = front;
  int old_end = annotations.size() - back;
  const int new_end = new_count - back;
  for (int index = front; index < new_end;) {
    if (row < old_end && same(row, index)) {
      ++row, ++index;
      continue;
    }
    const int old_left = old_end - row, new_left = new_end - index;
    if (old_left > new_left) {
      annotations.remove(row);
      --old_end;
    } else if (old_left < new_left) {
      insert_record(row++, shapes[index++]);
      ++old_end;
    } else {
      update_record(row++, shapes[index++]);
    }
  }
  while (row < old_end) {
    annotations.remove(row);
    --old_end;
  }
  // Rows keep their unchanged raw lines in step with the document.
  for (int i = 0; i < new_count; ++i) annotations[i].shown.raw = shapes[i].raw;
  rebuild_class_list();
  apply_class_visibility();
  update_annotation_colors();
  update_history_buttons();
}

void AnnotatorTab::load_existing_annotations(const QString& img_path) {
  {
    const QSignalBlocker block_table(table_objects);
    const QSignalBlocker block_scene(canvas);
    annotations.clear();
  }
  document->close();
  if (display_cv_img.empty()) return mirror_document();
  document->open(label_path_of(img_path), class_count(), QSize(display_cv_img.cols, display_cv_img.rows));
  mark_shown_tracks();
  if (!document->line_error().isEmpty()) print_line("Error loading annotations: " + document->line_error());
  if (!document->read_error().isEmpty()) {
    print_line("Error loading annotations: " + document->read_error());
    emit notice_signal("The label file could not be read; it will not be written: " + document->read_error());
  } else if (const int kept = document->kept().size()) {
    emit notice_signal(QStringLiteral("%1 line(s) of %2 are kept but not shown.")
                           .arg(kept)
                           .arg(QFileInfo(document->path()).fileName()));
  } else {
    emit notice_signal(QString());  // nothing to say about this image: the last notice goes
  }
}

Expected<AnnotatorTab::WriteOutcome> AnnotatorTab::start_writing() {
  if (display_cv_img.empty() || !document->is_open() || !document->is_changed()) return WriteOutcome::Written;
  if (classes_unsaved_) {
    const QString classes_path = classes_file_path();
    const Status written = write_file_atomically(classes_path, classes_file_bytes(classes));
    if (!written) return failure(QDir::toNativeSeparators(classes_path) + ": " + written.error());
    classes_unsaved_ = false;
  }
  if (document->changed_on_disk()) {
    const int choice = prompts().choose(
        this, "Label File Changed",
        QStringLiteral("%1 was changed by another program since it was shown.\n\nReload its version (your "
                       "changes to this image are dropped) or overwrite it with the shapes on screen?")
            .arg(QDir::toNativeSeparators(document->path())),
        {"Reload", "Overwrite", "Cancel"});
    if (choice == 0) {
      document->discard_changes();
      // The picture on screen stays; its labels are read again.
      put_on_screen(queue_.current(), queue_.path(queue_.current()), DecodedImage{display_cv_img, display_image_});
      return WriteOutcome::Written;
    }
    if (choice != 1) return WriteOutcome::Stayed;
  }
  document->save_beside();
  return WriteOutcome::Written;
}

void AnnotatorTab::warn_save_failed(const QString& reason) {
  prompts().warning(this, "Save Failed",
                    QStringLiteral("Could not write %1:\n%2\n\nThe shapes are still on screen; "
                                   "fix the folder and save again.")
                        .arg(QDir::toNativeSeparators(document->path()), reason));
}

void AnnotatorTab::save_current_annotations() {
  const Expected<WriteOutcome> outcome = start_writing();
  if (!outcome) return warn_save_failed(outcome.error());
  if (*outcome == WriteOutcome::Stayed || save_watched_) return;
  save_watched_ = true;
  document->when_written([this](const Status& landed) {
    save_watched_ = false;
    update_single_list_status();
    // A step waiting for the write asks what to do itself.
    if (!landed && after_saves_.empty()) warn_save_failed(landed.error());
  });
}

bool AnnotatorTab::resolve_unsaved(std::function<void()> again) {
  if (!document->writing()) {
    const Expected<WriteOutcome> outcome = start_writing();
    if (!outcome) {
      if (!keep_or_discard_unsaved(outcome.error())) return false;
      return resolve_unsaved(std::move(again));
    }
    if (*outcome == WriteOutcome::Stayed) return false;
    if (!document->writing()) return true;  // nothing needed writing
  }
  // The write lands beside the window; the step is taken again once it has.
  after_saves_.push_back(std::move(again));
  if (after_saves_.size() == 1) document->when_written([this](const Status& landed) { unsaved_resolved(landed); });
  return false;
}

bool AnnotatorTab::keep_or_discard_unsaved(const QString& reason) {
  const int choice = prompts().choose(
      this, "Save Failed",
      QStringLiteral("Could not write %1:\n%2\n\nRetry, discard the changes to this image, or stay here?")
          .arg(QDir::toNativeSeparators(document->path()), reason),
      {"Retry", "Discard Changes", "Stay"});
  if (choice == 1) {
    // The history ends in what was discarded: it no longer leads to the file.
    document->discard_changes();
    update_history_buttons();
  }
  return choice == 0 || choice == 1;
}

void AnnotatorTab::unsaved_resolved(const Status& landed) {
  update_single_list_status();
  std::vector<std::function<void()>> waiting = std::exchange(after_saves_, {});
  if (!landed) {
    if (!keep_or_discard_unsaved(landed.error())) {
      // Staying: the picture asked for is not shown, and the list points at the one on screen.
      queue_.drop_asked();
      const QSignalBlocker block(list_images);
      list_images->setCurrentRow(queue_.current());
      return;
    }
    if (!resolve_unsaved()) {  // retried: the steps wait for the new write
      std::move(waiting.begin(), waiting.end(), std::back_inserter(after_saves_));
      return;
    }
  }
  // Each step asked for is taken again, in order, and finds the shapes on disk.
  for (const auto& again : waiting)
    if (again) again();
}

bool AnnotatorTab::after_edit(bool edited) {
  if (!edited) return false;
  history_.edited(document->path());  // Ctrl+Z now takes back this edit first
  for (const Annotation& shape : document->shapes()) largest_known_ = std::max(largest_known_, shape.class_id);
  settle_label_kind();
  save_current_annotations();
  follow_tracks();
  return true;
}

// ---------------------------------------------------------------- history

QUndoStack* AnnotatorTab::history() const { return document->undo_stack(); }

void AnnotatorTab::update_history_buttons() {
  btn_undo->setEnabled(document->can_undo() || history_.last_for(document->path()) == EditHistory::Step::ClassChange);
  btn_redo->setEnabled(document->can_redo());
}

void AnnotatorTab::undo() {
  // While a polygon is being drawn, undo takes back its last point.
  if (canvas->remove_last_point()) return;
  // The last thing done, whatever it was: a class change of the folder or an edit of this picture.
  for (;;) {
    switch (history_.last_for(document->path())) {
      case EditHistory::Step::ClassChange:
        undo_class_change();
        return;
      case EditHistory::Step::PictureEdit:
        history_.drop_last_for(document->path());
        if (document->can_undo()) return undo_picture_edit();
        continue;  // an edit discarded since: its history went with it
      case EditHistory::Step::None:
        if (document->can_undo()) undo_picture_edit();
        return;
    }
  }
}

void AnnotatorTab::undo_picture_edit() {
  document->undo();
  update_history_buttons();  // the history's place moves after the shapes changed
  save_current_annotations();
  follow_tracks();
}

void AnnotatorTab::redo() {
  if (!document->can_redo()) return;
  document->redo();
  history_.edited(document->path());
  update_history_buttons();
  save_current_annotations();
  follow_tracks();
}

void AnnotatorTab::confirm_empty() {
  if (display_cv_img.empty() || !document->is_open() || document->confirmed_empty()) return;
  if (!document->shapes().isEmpty()) {
    prompts().information(this, "Confirm No Objects",
                          "This image has objects. Delete them first to mark it as a background without objects.");
    return;
  }
  if (!document->kept().isEmpty() || !document->read_error().isEmpty()) {
    prompts().information(this, "Confirm No Objects",
                          "The label file holds lines that are kept but not shown; it is not emptied.");
    return;
  }
  after_edit(document->confirm_empty());
}

void AnnotatorTab::update_annotation_colors() {
  for (const AnnotationRecord& record : annotations) {
    const QColor colour = class_colour(record.shown.class_id);
    QColor fill = colour;
    const bool selected = record.item->isSelected();
    fill.setAlpha(selected ? 120 : 60);
    // A box filled in by interpolation or tracking is dashed until the user edits it.
    record.item->setPen(QPen(colour, selected ? 4 : 2, record.shown.filled ? Qt::DashLine : Qt::SolidLine));
    record.item->setBrush(fill);
    record.item->setZValue(selected ? 1.0 : 0.0);
  }
}

// ---------------------------------------------------------------- labelling and the table

std::optional<int> AnnotatorTab::ask_class(const QString& offered) {
  LabelDialog dialog(classes, offered, this);
  const int answer = prompts().exec_dialog(dialog);
  // The keys go on to the window when the dialog closes, also where no window manager says so.
  window()->activateWindow();
  if (answer != QDialog::Accepted) return std::nullopt;
  const QString label = dialog.get_label();
  if (label.isEmpty()) return std::nullopt;
  const QString problem = LabelDialog::label_problem(label);
  if (!problem.isEmpty()) {
    prompts().warning(this, "Invalid Label", problem);
    return std::nullopt;
  }
  // A typo ("cra" for "car") must not become a class of its own without a word, nor a digit
  // meant to pick a class there is none for.
  QString chosen = label;
  bool is_number = false;
  label.toInt(&is_number);
  if (!classes.contains(label) && is_number && !classes.isEmpty()) {
    const int choice = prompts().choose(
        this, "New Class",
        QStringLiteral("\"%1\" is not a class of this folder; its %2 classes are picked with the keys 1 to %3.\n\n"
                       "Add a class named \"%1\"?")
            .arg(label)
            .arg(classes.size())
            .arg(std::min<qsizetype>(classes.size(), 9)),
        {QStringLiteral("Add \"%1\"").arg(label), "Cancel"});
    if (choice != 0) return std::nullopt;
  } else if (!classes.contains(label)) {
    if (const QStringList near = near_class_names(label, classes); !near.isEmpty()) {
      const int choice = prompts().choose(
          this, "New Class",
          QStringLiteral("\"%1\" is not a class yet; \"%2\" is one letter away.\n\nUse \"%2\", or add "
                         "\"%1\" as a new class?")
              .arg(label, near.first()),
          {QStringLiteral("Use \"%1\"").arg(near.first()), QStringLiteral("Add \"%1\"").arg(label), "Cancel"});
      if (choice == 0)
        chosen = near.first();
      else if (choice != 1)
        return std::nullopt;
    }
  }
  last_label = chosen;
  return class_id_for(chosen, chosen == label ? dialog.chosen_index() : -1);
}

void AnnotatorTab::handle_new_poly(const QPolygonF& polygon) {
  if (display_cv_img.empty() || !document->is_open()) return;
  const QString type = combo_mode->currentText();
  // A polygon in a box folder is explained before its class is asked.
  if (kind_for_new_shape(type) == LabelKind::Boxes && !type.endsWith(QLatin1String("Rectangle")) &&
      !box_notice_given_) {
    const int choice = prompts().choose(
        this, "Box Labels",
        QStringLiteral("The labels of this %1 are boxes (detection), so the %2 is saved as its bounding box.\n\n"
                       "Switch the folder to Segmentation to keep polygons: its label files are rewritten "
                       "after a count.")
            .arg(label_kind_ == LabelKind::Boxes ? QStringLiteral("folder") : QStringLiteral("image's file"),
                 type.toLower()),
        {"Save as Box", "Switch Folder to Polygons", "Cancel"});
    if (choice == 1) {
      // The shape is asked for once the folder holds polygons (and while its picture is shown).
      return switch_label_kind(LabelKind::Polygons, [this, polygon, type, picture = shown_picture()] {
        if (shown_picture() == picture && label_kind_ == LabelKind::Polygons) add_drawn_shape(polygon, type);
      });
    }
    if (choice != 0) return;
    box_notice_given_ = true;
  }
  add_drawn_shape(polygon, type);
}

void AnnotatorTab::add_drawn_shape(const QPolygonF& polygon, const QString& type) {
  // A box of a track takes the track's class; any other shape asks for one.
  const int track_class = drawing_class();
  const std::optional<int> class_id = track_class >= 0 ? std::optional<int>(track_class) : ask_class(last_label);
  if (!class_id) return;
  if (!add_to_track(new_annotation(*class_id, polygon, type))) return;
  after_edit(true);
  pick_shape(static_cast<int>(annotations.size()) - 1);  // the keys act on what was just drawn
}

void AnnotatorTab::pick_shape(int row) {
  if (row < 0 || row >= annotations.size() || !annotations[row].item->isVisible()) return;
  {
    const QSignalBlocker block(canvas);
    canvas->clearSelection();
    annotations[row].item->setSelected(true);
  }
  sync_canvas_selection();
}

void AnnotatorTab::add_annotation(const QPolygonF& polygon, const QString& label, const QString& type) {
  if (!document->is_open()) return;
  const int class_id = class_id_for(clean_class_name(label), -1);
  after_edit(document->add(QStringLiteral("Add Shape"), {new_annotation(class_id, polygon, type)}));
}

LabelKind AnnotatorTab::kind_for_new_shape(const QString& type) const {
  // The file's own kind when it holds shapes of one kind, so a file is never mixed; else the folder's.
  const KindCounts file = kinds_of(document->shapes());
  if (file.boxes > 0 && file.polygons == 0) return LabelKind::Boxes;
  if (file.polygons > 0 && file.boxes == 0) return LabelKind::Polygons;
  if (!label_kind_settled_) return type.endsWith(QLatin1String("Rectangle")) ? LabelKind::Boxes : LabelKind::Polygons;
  return label_kind_;
}

Annotation AnnotatorTab::new_annotation(int class_id, const QPolygonF& polygon, const QString& type) const {
  const LabelKind kind = kind_for_new_shape(type);
  return drawn_annotation(class_id, kind, polygon, type);
}

void AnnotatorTab::relabel_shape(int row) {
  if (row < 0 || row >= annotations.size()) return;
  const std::optional<int> class_id = ask_class(annotations[row].label);
  if (!class_id || row >= annotations.size()) return;
  after_edit(document->set_class(row, *class_id));
}

void AnnotatorTab::remove_records(QVector<int> rows) { after_edit(document->remove(std::move(rows))); }

void AnnotatorTab::ann_delete_selected() {
  const int row = table_objects->currentRow();
  if (row < 0 || row >= annotations.size()) return;
  remove_records({row});
}

void AnnotatorTab::move_shapes() {
  // A finished drag in "Select/Move": the items moved by the scene become one "Move" step of
  // the document, and the items return to the document's geometry.
  QVector<int> rows;
  QPointF delta;
  for (int row = 0; row < annotations.size(); ++row) {
    const QPointF offset = annotations[row].item->pos();
    if (offset.isNull()) continue;
    rows << row;
    delta = offset;
  }
  if (rows.isEmpty()) return;
  if (!after_edit(document->translate(rows, delta))) mirror_document();
}

void AnnotatorTab::edit_vertices(QGraphicsItem* item, const QPolygonF& points) {
  const int row = annotations.row_of(item);
  if (row < 0) return;
  if (!after_edit(document->set_points(row, points))) mirror_document();
}

void AnnotatorTab::copy_previous_frame_shapes() {
  if (queue_.current() == 0 || queue_.isEmpty()) {
    prompts().warning(this, "Unavailable", "No previous image available to copy annotations from.");
    return;
  }
  if (display_cv_img.empty() || !document->is_open()) return;
  const Expected<LabelReadResult> read = read_label_file(label_path_of(queue_.path(queue_.current() - 1)),
                                                         class_count(), display_cv_img.cols, display_cv_img.rows);
  // A previous file that cannot be read leaves this picture's shapes as they are.
  if (!read)
    return prompts().warning(this, "Copy Previous Frame", "The previous labels could not be read:\n" + read.error());
  QVector<Annotation> copied;
  for (const LabelShape& shape : read->shapes) {
    Annotation a = annotation_of(shape);
    a.raw.clear();  // a line of another image: this image's file gets its own
    copied.append(a);
  }
  after_edit(document->replace_all(QStringLiteral("Copy Previous Frame"), copied));
}

}  // namespace quorlan

#include "annotate/annotator_tab.h"

#include <QCheckBox>
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
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QUndoStack>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "annotate/label_dialog.h"
#include "core/atomic_file.h"
#include "core/class_names.h"
#include "core/constants.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/label_files.h"
#include "core/polygon_edit.h"
#include "engine_client/engine_host.h"
#include "shell/annotator_keys.h"
#include "widgets/bgr_pixmap.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/prompts.h"
#include "widgets/shape_item.h"
#include "widgets/zoomable_view.h"

namespace quorlan {
namespace {

// The draw modes and the letter that picks each.

}  // namespace

AnnotatorTab::AnnotatorTab(QWidget* parent) : QWidget(parent) { setup_workspace_tab(); }

// The scene deletes its items after this object's members are gone; it must not call back.
AnnotatorTab::~AnnotatorTab() { canvas->disconnect(this); }

// ---------------------------------------------------------------- the side panels

void AnnotatorTab::reset_panels() {
  panels->setSizes({kLeftPanelWidth, 1000, kRightPanelWidth});
  side_widths_[0] = kLeftPanelWidth;
  side_widths_[1] = kRightPanelWidth;
  show_panel_arrows();
  fit_panels_to_width();
}

void AnnotatorTab::remember_side_widths() {
  const QList<int> sizes = panels->sizes();
  if (sizes.size() != 3) return;
  if (sizes[0] > 0) side_widths_[0] = sizes[0];
  if (sizes[2] > 0) side_widths_[1] = sizes[2];
}

void AnnotatorTab::fit_panels_to_width() {
  if (!isVisible()) return;  // widths are only known on screen
  QList<int> sizes = panels->sizes();
  if (sizes.size() != 3) return;
  const int total = sizes[0] + sizes[1] + sizes[2];
  if (total <= 0) return;
  // A queue folded away for want of room comes back when there is room again.
  const int least_left = panels->widget(0)->sizeHint().width();
  const int least_right = panels->widget(2)->minimumWidth();
  if (queue_folded_for_room_ && sizes[2] + least_left + total / 2 <= total) {
    queue_folded_for_room_ = false;
    sizes[0] = least_left;
  }
  int left = sizes[0] > 0 ? side_widths_[0] : 0;
  int right = sizes[2] > 0 ? side_widths_[1] : 0;
  const int room = total - total / 2;  // the picture keeps half
  if (left + right > room) {
    // Both give way in proportion to their widths, neither below what its contents need.
    const double share = static_cast<double>(room) / (left + right);
    left = left > 0 ? std::max(least_left, static_cast<int>(left * share)) : 0;
    right = right > 0 ? std::max(least_right, static_cast<int>(right * share)) : 0;
  }
  // Still too little for the picture: the queue folds away (the keys still page through it).
  if (left > 0 && left + right > room && !queue_folded_for_room_) {
    left = 0;
    queue_folded_for_room_ = true;
  }
  const QList<int> fitted = {left, std::max(0, total - left - right), right};
  if (fitted != panels->sizes()) panels->setSizes(fitted);
  show_panel_arrows();
}

void AnnotatorTab::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  schedule_panel_fit();
}

void AnnotatorTab::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The annotation panel is as wide as its contents need with the theme's paddings, scroll bar
  // and all, so nothing in it is cut.
  right_scroll_->setMinimumWidth(right_scroll_->widget()->minimumSizeHint().width() +
                                 right_scroll_->verticalScrollBar()->sizeHint().width() + 2);
  schedule_panel_fit();
}

void AnnotatorTab::schedule_panel_fit() {
  // After the splitter has shared out the new width its own way.
  if (panels_fit_pending_) return;
  panels_fit_pending_ = true;
  QTimer::singleShot(0, this, [this] {
    panels_fit_pending_ = false;
    fit_panels_to_width();
  });
}

void AnnotatorTab::toggle_panel(int index) {
  QList<int> sizes = panels->sizes();
  const int shown = side_widths_[index == 0 ? 0 : 1];
  if (index == 0) queue_folded_for_room_ = false;  // the user's own choice from here on
  const int width = sizes[index] > 0 ? 0 : shown;
  sizes[1] += sizes[index] - width;  // the picture takes or gives the room
  sizes[index] = width;
  panels->setSizes(sizes);
  show_panel_arrows();
  fit_panels_to_width();
  if (!display_cv_img.empty()) fit_canvas_to_screen();  // the picture fills the room it got
}

void AnnotatorTab::show_panel_arrows() {
  const QList<int> sizes = panels->sizes();
  btn_toggle_left->setText(sizes.value(0) > 0 ? "◀" : "▶");
  btn_toggle_right->setText(sizes.value(2) > 0 ? "▶" : "◀");
}

QByteArray AnnotatorTab::panel_state() const { return panels->saveState(); }

void AnnotatorTab::restore_panel_state(const QByteArray& state) {
  if (!state.isEmpty()) panels->restoreState(state);
  queue_folded_for_room_ = false;
  remember_side_widths();
  show_panel_arrows();
}

void AnnotatorTab::sync_table_selection() {
  const QSignalBlocker block(canvas);
  canvas->clearSelection();
  const int row = table_objects->currentRow();
  if (row >= 0 && row < annotations.size()) annotations[row].item->setSelected(true);
  update_annotation_colors();
}

void AnnotatorTab::sync_canvas_selection() {
  const QSignalBlocker block(table_objects);
  table_objects->clearSelection();
  const QList<QGraphicsItem*> selected = canvas->selectedItems();
  if (!selected.isEmpty())
    if (const int row = annotations.row_of(selected.first()); row >= 0) table_objects->selectRow(row);
  update_annotation_colors();
}

bool AnnotatorTab::eventFilter(QObject* watched, QEvent* event) {
  if (watched == spin_ai_conf && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    canvas_view->setFocus();
    event->accept();
    return true;
  }
  // The queue's list would take Y and N as a search: they answer the chosen finding instead.
  if (watched == list_review && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Y || key->key() == Qt::Key_N) && key->modifiers() == Qt::NoModifier) {
      if (event->type() == QEvent::KeyPress) handle_edit_key(key->key());
      event->accept();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void AnnotatorTab::handle_edit_key(int key) {
  if (const AnnotatorKey* bound = annotator_key_for(key)) run_command(bound->command);
}

// The commands that never touch a shape being drawn: undo, the view, the panels, the modes.
bool AnnotatorTab::run_view_command(AnnotatorCommand command) {
  using C = AnnotatorCommand;
  switch (command) {
    case C::Undo:
      undo();
      return true;
    case C::Redo:
      redo();
      return true;
    case C::Save:
      save_current_annotations();
      return true;
    case C::ZoomIn:
      canvas_view->zoom_by(1.25);
      return true;
    case C::ZoomOut:
      canvas_view->zoom_by(1 / 1.25);
      return true;
    case C::Fit:
      fit_canvas_to_screen();
      return true;
    case C::OpenFolder:
      load_directory();
      return true;
    case C::ToggleQueue:
      toggle_panel(0);
      return true;
    case C::TogglePanel:
      toggle_panel(2);
      return true;
    case C::Relabel:
      relabel_picked_shape();
      return true;
    default:
      break;
  }
  for (const auto& [mode_command, mode] : kAnnotatorModes)
    if (command == mode_command) {
      combo_mode->setCurrentText(mode);
      return true;
    }
  return false;
}

void AnnotatorTab::focus_picture() { canvas_view->setFocus(); }

void AnnotatorTab::run_command(AnnotatorCommand command) {
  using C = AnnotatorCommand;
  // While an outline is asked for, Enter accepts it, Escape drops it and Backspace takes back the
  // last click.
  if (segment_prompt_active() && !canvas->drawing &&
      (command == C::Relabel || command == C::Escape || command == C::RemoveLastPoint)) {
    if (command == C::Relabel)
      accept_outline();
    else if (command == C::Escape)
      drop_outline();
    else if (segment_.remove_last())
      prompt_changed();
    return;
  }
  if (run_view_command(command)) return;
  // While a polygon is being drawn the keys edit it, never the finished shapes.
  if (canvas->drawing || !canvas->current_polygon.isEmpty()) {
    if (command == C::Escape)
      canvas->reset_drawing();
    else if (command == C::RemoveLastPoint)
      canvas->remove_last_point();
    return;
  }
  switch (command) {
    case C::Next:
      return next_image();
    case C::Previous:
      return prev_image();
    case C::CopyPrevious:
      return copy_previous_frame_shapes();
    case C::NextKeyframe:
      return go_to_keyframe(+1);
    case C::PreviousKeyframe:
      return go_to_keyframe(-1);
    case C::ConfirmEmpty:
      return confirm_empty();
    case C::AcceptFinding:
      if (!review_box->isHidden()) accept_review_finding();
      return;
    case C::DismissFinding:
      if (!review_box->isHidden()) dismiss_review_finding();
      return;
    case C::DeleteShapes:
    case C::RemoveLastPoint:
      return remove_picked_shapes();
    default:
      return;
  }
}

void AnnotatorTab::relabel_picked_shape() {
  // The picked shape's class, as a double-click on its row asks for it.
  const QList<QGraphicsItem*> selected = canvas->selectedItems();
  const int row = selected.isEmpty() ? table_objects->currentRow() : annotations.row_of(selected.first());
  if (row >= 0 && (!selected.isEmpty() || table_objects->selectionModel()->hasSelection())) relabel_shape(row);
}

void AnnotatorTab::remove_picked_shapes() {
  // The shapes highlighted on the canvas, all of them; nothing when none is.
  QVector<int> rows;
  const QList<QGraphicsItem*> selected = canvas->selectedItems();
  for (int i = 0; i < annotations.size(); ++i)
    if (selected.contains(annotations[i].item)) rows << i;
  if (!rows.isEmpty()) remove_records(rows);
}

}  // namespace quorlan

// The annotator's widgets: the queue on the left, the picture in the middle, the annotation panel
// on the right, and what their controls do.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include "annotate/annotator_tab.h"
#include "shell/annotator_keys.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

void AnnotatorTab::setup_workspace_tab() {
  document = new AnnotationDocument(this);
  QWidget* queue = build_queue_panel();
  QWidget* picture = build_picture();
  auto* right_box = named(new QGroupBox("AI Annotation Workstation"), "right_box");
  auto* right_layout = new QVBoxLayout(right_box);
  build_shape_panel(right_layout);
  right_layout->addWidget(build_track_box());
  build_class_panel(right_layout);
  // What every picture needs is above; the model's tools, used now and then, come last.
  right_layout->addWidget(build_review_box());
  right_layout->addWidget(build_model_tools());

  // The panels are as wide as the user drags them, fold away, and the right one scrolls on a
  // short screen instead of squeezing the object table.
  right_scroll_ = named(new QScrollArea, "right_scroll");
  right_scroll_->setWidget(right_box);
  right_scroll_->setWidgetResizable(true);
  right_scroll_->setFrameShape(QFrame::NoFrame);
  right_scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  right_scroll_->setMinimumWidth(270);
  table_objects->setMinimumHeight(110);
  panels = named(new QSplitter(Qt::Horizontal), "annotator_panels");
  panels->addWidget(queue);
  panels->addWidget(picture);
  panels->addWidget(right_scroll_);
  panels->setStretchFactor(1, 1);
  panels->setCollapsible(1, false);
  panels->setChildrenCollapsible(true);
  auto* main_layout = new QHBoxLayout(this);
  main_layout->setContentsMargins(6, 6, 6, 6);
  main_layout->addWidget(panels);
  reset_panels();

  connect_queue_and_view();
  connect_model_tools();
  connect_shapes();
  connect_segmenting();
  connect_tracks();
  connect_classes();
}

QWidget* AnnotatorTab::build_queue_panel() {
  auto* left_box = named(new QGroupBox("Directory && Image Queue"), "left_box");
  left_box->setMinimumWidth(200);
  auto* left_layout = new QVBoxLayout(left_box);
  btn_load_dir = named(new QPushButton("📂 Load Directory"), "btn_load_dir");
  btn_load_dir->setToolTip("Open a folder of pictures (" + annotator_keys_text(AnnotatorCommand::OpenFolder) + ")");
  btn_open_video = named(new QPushButton("🎬 Open Video..."), "btn_open_video");
  btn_open_video->setToolTip("Write a video's frames into a folder beside it, named after it, and open that folder");
  btn_set_output = named(new QPushButton("🎯 Set Output Folder"), "btn_set_output");
  btn_set_output->setToolTip("The folder Export && Split Dataset offers first as its destination");
  lbl_output_folder = named(new QLabel("Output: Not Set"), "lbl_output_folder");
  lbl_output_folder->setStyleSheet("color: #8E8E93;");
  list_images = named(new QListWidget, "list_images");
  list_images->setUniformItemSizes(true);
  auto* nav_row = new QHBoxLayout;
  btn_prev_img = named(new QPushButton("◄ Prev"), "btn_prev_img");
  btn_next_img = named(new QPushButton("Next ►"), "btn_next_img");
  nav_row->addWidget(btn_prev_img);
  nav_row->addWidget(btn_next_img);
  lbl_img_status = named(new QLabel("Status: Pending"), "lbl_img_status");
  lbl_img_status->setAlignment(Qt::AlignCenter);
  lbl_progress = named(new QLabel("Annotated: 0 / 0"), "lbl_progress");
  lbl_progress->setAlignment(Qt::AlignCenter);
  lbl_progress->setToolTip("Images with a label file (objects or a confirmed background) out of the folder's images.");
  btn_health_check = named(new QPushButton("🩺 Dataset Health Inspector"), "btn_health_check");
  btn_analytics = named(new QPushButton("📊 Dataset Analytics"), "btn_analytics");
  btn_split_export = named(new QPushButton("📤 Export && Split Dataset"), "btn_split_export");
  btn_split_export->setObjectName("primaryBtn");
  left_layout->addWidget(btn_load_dir);
  left_layout->addWidget(btn_open_video);
  left_layout->addWidget(btn_set_output);
  left_layout->addWidget(lbl_output_folder);
  left_layout->addWidget(new QLabel("Queue Files:"));
  left_layout->addWidget(list_images);
  left_layout->addLayout(nav_row);
  left_layout->addWidget(lbl_img_status);
  left_layout->addWidget(lbl_progress);
  left_layout->addSpacing(10);
  left_layout->addWidget(btn_health_check);
  left_layout->addWidget(btn_analytics);
  left_layout->addWidget(btn_split_export);

  return left_box;
}

QWidget* AnnotatorTab::build_picture() {
  auto* center_widget = named(new QWidget, "center_widget");
  auto* center_layout = new QGridLayout(center_widget);
  center_layout->setContentsMargins(0, 0, 0, 0);
  canvas = named(new InteractiveCanvas(this), "canvas");
  canvas->setObjectName("canvas");
  canvas_view = named(new ZoomableView, "canvas_view");
  canvas_view->setScene(canvas);
  canvas_hint_ = QStringLiteral(
      "Load a folder (Ctrl+O) to start.\n\nKeys: R rectangle · P polygon · C circle · G pentagon · S select/move\n"
      "D or → next · A or ← previous · Delete removes · E no objects · Ctrl+Z undo · Ctrl+S save\n"
      "F fit · Ctrl++ / Ctrl+- zoom · Enter or F2 change class · Ctrl+[ / Ctrl+] hide panels");
  canvas_view->set_placeholder(canvas_hint_);
  btn_fit_screen = named(new QPushButton("FIT"), "btn_fit_screen");
  btn_fit_screen->setFixedSize(48, 32);
  btn_fit_screen->setToolTip("Fit the picture to the view (" + annotator_keys_text(AnnotatorCommand::Fit) +
                             "); zoom with " + annotator_key_text(AnnotatorCommand::ZoomIn) + " and " +
                             annotator_key_text(AnnotatorCommand::ZoomOut));
  // The side panels fold away (and come back) from the picture's own corners.
  btn_toggle_left = named(new QPushButton("◀"), "btn_toggle_left");
  btn_toggle_left->setToolTip("Hide or show the image queue (" + annotator_keys_text(AnnotatorCommand::ToggleQueue) +
                              "); drag the panel's edge to resize it");
  btn_toggle_right = named(new QPushButton("▶"), "btn_toggle_right");
  btn_toggle_right->setToolTip("Hide or show the annotation panel (" +
                               annotator_keys_text(AnnotatorCommand::TogglePanel) +
                               "); drag the panel's edge to resize it");
  for (QPushButton* button : {btn_toggle_left, btn_toggle_right}) button->setFixedSize(32, 32);
  auto* right_corner = new QHBoxLayout;
  right_corner->setSpacing(4);
  right_corner->addWidget(btn_fit_screen);
  right_corner->addWidget(btn_toggle_right);
  center_layout->addWidget(canvas_view, 0, 0);
  center_layout->addWidget(btn_toggle_left, 0, 0, Qt::AlignTop | Qt::AlignLeft);
  center_layout->addLayout(right_corner, 0, 0, Qt::AlignTop | Qt::AlignRight);

  return center_widget;
}

// The mode, the label kind, undo and redo, the shapes of the picture and what is done to them.
void AnnotatorTab::build_shape_panel(QVBoxLayout* right_layout) {
  auto* mode_row = new QHBoxLayout;
  mode_row->addWidget(new QLabel("Active Mode:"));
  combo_mode = named(new QComboBox, "combo_mode");
  QStringList mode_keys;
  for (const auto& [command, mode] : kAnnotatorModes) {
    combo_mode->addItem(mode);
    mode_keys << QStringLiteral("%1: %2").arg(annotator_key_text(command), mode);
  }
  combo_mode->setToolTip("Keys: " + mode_keys.join(" · "));
  mode_row->addWidget(combo_mode, 1);
  right_layout->addLayout(mode_row);
  auto* kind_row = new QHBoxLayout;
  lbl_label_kind = named(new QLabel, "lbl_label_kind");
  lbl_label_kind->setWordWrap(true);
  btn_label_kind = named(new QPushButton, "btn_label_kind");
  btn_label_kind->setToolTip("Rewrite the folder's label files into the other kind (asks first, with a count)");
  show_label_kind();  // "Labels: Polygons", the switch off until a folder is loaded
  kind_row->addWidget(lbl_label_kind, 1);
  kind_row->addWidget(btn_label_kind);
  right_layout->addLayout(kind_row);

  auto* history_row = new QHBoxLayout;
  btn_undo = named(new QPushButton("↶ Undo"), "btn_undo");
  btn_undo->setToolTip("Undo the last edit of this image (" + annotator_keys_text(AnnotatorCommand::Undo) + ")");
  btn_redo = named(new QPushButton("↷ Redo"), "btn_redo");
  btn_redo->setToolTip("Redo (" + annotator_keys_text(AnnotatorCommand::Redo) + ")");
  btn_undo->setEnabled(false);
  btn_redo->setEnabled(false);
  history_row->addWidget(btn_undo);
  history_row->addWidget(btn_redo);
  right_layout->addLayout(history_row);

  right_layout->addWidget(new QLabel("Annotated Objects:"));
  table_objects = named(new QTableWidget(0, 2), "table_objects");
  table_objects->setHorizontalHeaderLabels({"Label", "Shape"});
  table_objects->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  // No row numbers: their header strip and corner button do not follow the theme's colours.
  table_objects->verticalHeader()->setVisible(false);
  table_objects->setSelectionBehavior(QAbstractItemView::SelectRows);
  // A label is changed through the label dialog (double-click), never typed into the cell.
  table_objects->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_objects->setToolTip("Double-click a row, or press Enter or F2 with a shape picked, to change its class");
  right_layout->addWidget(table_objects, 1);  // takes the height the panel has left
  annotations.attach(canvas, table_objects);
  btn_delete_obj = named(new QPushButton("🗑️ Delete Selected Shape"), "btn_delete_obj");
  btn_delete_obj->setToolTip("Delete the picked shapes (Delete or Backspace)");
  btn_save_ann = named(new QPushButton("💾 Save Annotations && Workspace"), "btn_save_ann");
  btn_save_ann->setToolTip("Save this image's shapes (" + annotator_keys_text(AnnotatorCommand::Save) +
                           "); every edit is saved as it is made");
  btn_confirm_empty = named(new QPushButton("∅ Confirm No Objects"), "btn_confirm_empty");
  btn_confirm_empty->setToolTip("Mark this image as a background without objects: an empty label file (" +
                                annotator_keys_text(AnnotatorCommand::ConfirmEmpty) + ")");
  right_layout->addWidget(btn_delete_obj);
  right_layout->addWidget(btn_confirm_empty);
  right_layout->addWidget(btn_save_ann);
}

void AnnotatorTab::build_class_panel(QVBoxLayout* right_layout) {
  right_layout->addWidget(new QLabel("Shown Classes:"));
  list_classes = named(new QListWidget, "list_classes");
  list_classes->setFixedHeight(48);  // until the folder's classes are listed
  list_classes->setToolTip(
      "Untick a class to hide its shapes; hidden shapes are kept and saved as they are. Pick a class to rename, "
      "merge, delete or move it (double-click renames).");
  right_layout->addWidget(list_classes);
  auto* class_row = new QHBoxLayout;
  class_row->setSpacing(4);
  btn_class_rename = named(new QPushButton("Rename"), "btn_class_rename");
  btn_class_rename->setToolTip("Rename the picked class; every label keeps its id (classes.txt changes)");
  btn_class_merge = named(new QPushButton("Merge"), "btn_class_merge");
  btn_class_merge->setToolTip(
      "Merge the picked class into another: its objects take the other's id in every label "
      "file of the folder (asks first, with a count)");
  btn_class_delete = named(new QPushButton("Delete"), "btn_class_delete");
  btn_class_delete->setToolTip(
      "Delete the picked class and its objects from every label file of the folder (asks "
      "first, with a count)");
  btn_class_up = named(new QPushButton("▲"), "btn_class_up");
  btn_class_up->setToolTip("Move the picked class up one id (every label file follows)");
  btn_class_down = named(new QPushButton("▼"), "btn_class_down");
  btn_class_down->setToolTip("Move the picked class down one id (every label file follows)");
  btn_class_undo = named(new QPushButton("↶"), "btn_class_undo");
  for (QPushButton* button :
       {btn_class_rename, btn_class_merge, btn_class_delete, btn_class_up, btn_class_down, btn_class_undo}) {
    button->setEnabled(false);
    button->setStyleSheet("QPushButton { padding: 4px 6px; }");
    class_row->addWidget(button);
  }
  right_layout->addLayout(class_row);
}

QGroupBox* AnnotatorTab::build_model_tools() {
  auto* ai_box = named(new QGroupBox("AI Assist && Auto-Labeling"), "ai_box");
  auto* ai_layout = new QVBoxLayout(ai_box);
  btn_copy_prev = named(new QPushButton("📋 Copy Previous Frame Shapes"), "btn_copy_prev");
  btn_load_ai = named(new QPushButton("🧠 Load AI Model (.pt)"), "btn_load_ai");
  btn_load_ai->setToolTip(
      "The engine's weights (.pt), or a model exported from them (.onnx, OpenVINO .xml), which "
      "runs without the engine");
  lbl_ai_runtime = named(new QLabel, "lbl_ai_runtime");
  lbl_ai_runtime->setWordWrap(true);
  lbl_ai_runtime->hide();  // until a model is loaded
  auto* conf_row = new QHBoxLayout;
  conf_row->addWidget(new QLabel("AI Conf:"));
  spin_ai_conf = named(new QDoubleSpinBox, "spin_ai_conf");
  spin_ai_conf->setRange(0.01, 1.0);
  spin_ai_conf->setSingleStep(0.05);
  spin_ai_conf->setDecimals(2);
  spin_ai_conf->setValue(0.25);
  spin_ai_conf->setToolTip("Confidence for auto-labelling; Enter or Escape gives the keys back to the picture");
  conf_row->addWidget(spin_ai_conf);
  btn_run_ai = named(new QPushButton("🤖 Auto-Label Frame"), "btn_run_ai");
  btn_run_ai->setEnabled(false);
  ai_layout->addWidget(btn_copy_prev);
  ai_layout->addWidget(btn_load_ai);
  ai_layout->addWidget(lbl_ai_runtime);
  ai_layout->addLayout(conf_row);
  ai_layout->addWidget(btn_run_ai);
  // Label review with a model: the button here, the queue in a box of its own once a review has run.
  btn_review = named(new QPushButton("🔎 Review Labels with Model"), "btn_review");
  btn_review->setToolTip(
      "Predict every picture of the folder with the loaded model (or one you pick) and list where "
      "it disagrees with the labels, the likeliest mistakes first");
  ai_layout->addWidget(btn_review);
  return ai_box;
}

QGroupBox* AnnotatorTab::build_review_box() {
  review_box = named(new QGroupBox("Label Review"), "review_box");
  auto* review_layout = new QVBoxLayout(review_box);
  lbl_review_note = named(new QLabel, "lbl_review_note");
  lbl_review_note->setWordWrap(true);
  review_layout->addWidget(lbl_review_note);
  auto* filter_row = new QHBoxLayout;
  combo_review_kind = named(new QComboBox, "combo_review_kind");
  combo_review_kind->addItem("All kinds", -1);
  for (FindingKind kind : kFindingKinds) combo_review_kind->addItem(finding_kind_name(kind), static_cast<int>(kind));
  combo_review_class = named(new QComboBox, "combo_review_class");
  combo_review_class->addItem("All classes", -1);
  filter_row->addWidget(combo_review_kind);
  filter_row->addWidget(combo_review_class);
  review_layout->addLayout(filter_row);
  check_review_dismissed = named(new QCheckBox("Show dismissed"), "check_review_dismissed");
  review_layout->addWidget(check_review_dismissed);
  list_review = named(new QListWidget, "list_review");
  list_review->setMinimumHeight(160);
  // A finding's whole text, on as many lines as it takes: a narrow panel cuts nothing.
  list_review->setWordWrap(true);
  list_review->setTextElideMode(Qt::ElideNone);
  list_review->installEventFilter(this);
  review_layout->addWidget(list_review);
  auto* verdict_row = new QHBoxLayout;
  btn_review_accept = named(new QPushButton("✔ Take Model's (Y)"), "btn_review_accept");
  btn_review_accept->setToolTip(
      "Take the model's version: add the object, change the class, take its box, or "
      "delete the label (one undo step)");
  btn_review_dismiss = named(new QPushButton("✖ Dismiss (N)"), "btn_review_dismiss");
  btn_review_dismiss->setToolTip("The label is right: the finding is not shown again (N again reopens it)");
  verdict_row->addWidget(btn_review_accept);
  verdict_row->addWidget(btn_review_dismiss);
  review_layout->addLayout(verdict_row);
  review_box->hide();  // until a review has run
  return review_box;
}

void AnnotatorTab::connect_queue_and_view() {
  connect(btn_load_dir, &QPushButton::clicked, this, [this] { load_directory(); });
  connect(btn_open_video, &QPushButton::clicked, this, [this] { open_video(); });
  connect(btn_set_output, &QPushButton::clicked, this, [this] { set_output_folder(); });
  connect(list_images, &QListWidget::currentRowChanged, this, &AnnotatorTab::jump_to_image);
  connect(btn_prev_img, &QPushButton::clicked, this, [this] { prev_image(); });
  connect(btn_next_img, &QPushButton::clicked, this, [this] { next_image(); });
  connect(btn_fit_screen, &QPushButton::clicked, this, [this] { fit_canvas_to_screen(); });
  connect(btn_toggle_left, &QPushButton::clicked, this, [this] { toggle_panel(0); });
  connect(btn_toggle_right, &QPushButton::clicked, this, [this] { toggle_panel(2); });
  connect(panels, &QSplitter::splitterMoved, this, [this] {
    remember_side_widths();
    show_panel_arrows();
  });
}

void AnnotatorTab::connect_model_tools() {
  connect(combo_mode, &QComboBox::currentTextChanged, this, &AnnotatorTab::change_active_mode);
  connect(btn_copy_prev, &QPushButton::clicked, this, [this] { copy_previous_frame_shapes(); });
  connect(btn_load_ai, &QPushButton::clicked, this, [this] { load_ai_model(); });
  connect(btn_review, &QPushButton::clicked, this, [this] { review_labels_with_model(); });
  connect(btn_review_accept, &QPushButton::clicked, this, [this] { accept_review_finding(); });
  connect(btn_review_dismiss, &QPushButton::clicked, this, [this] { dismiss_review_finding(); });
  connect(combo_review_kind, &QComboBox::currentIndexChanged, this, [this] { refresh_review_list(); });
  connect(combo_review_class, &QComboBox::currentIndexChanged, this, [this] { refresh_review_list(); });
  connect(check_review_dismissed, &QCheckBox::toggled, this, [this] { refresh_review_list(); });
  connect(list_review, &QListWidget::currentRowChanged, this,
          [this] { show_review_finding(current_review_finding()); });
  // A click on the finding already picked shows it again (after an undo took its overlay away).
  connect(list_review, &QListWidget::itemClicked, this, [this] { show_review_finding(current_review_finding()); });
  connect(btn_run_ai, &QPushButton::clicked, this, [this] { run_ai_autolabel(); });
  spin_ai_conf->installEventFilter(this);
  // A number typed, the keys go back to the picture (D and → work again without a click).
  connect(spin_ai_conf, &QDoubleSpinBox::editingFinished, this, [this] {
    if (spin_ai_conf->hasFocus()) canvas_view->setFocus();
  });
}

void AnnotatorTab::connect_shapes() {
  connect(table_objects, &QTableWidget::itemSelectionChanged, this, &AnnotatorTab::sync_table_selection);
  connect(table_objects, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { relabel_shape(row); });
  connect(btn_delete_obj, &QPushButton::clicked, this, [this] { ann_delete_selected(); });
  connect(btn_save_ann, &QPushButton::clicked, this, [this] { save_current_annotations(); });
  // The dataset tools read this folder's files: the shapes on screen reach disk first.
  const std::pair<QPushButton*, void (AnnotatorTab::*)()> dataset_buttons[] = {
      {btn_split_export, &AnnotatorTab::export_requested},
      {btn_health_check, &AnnotatorTab::health_check_requested},
      {btn_analytics, &AnnotatorTab::analytics_requested}};
  for (const auto& [button, request] : dataset_buttons)
    connect(button, &QPushButton::clicked, this, [this, request = request] {
      if (resolve_unsaved([this, request] { emit(this->*request)(); })) emit(this->*request)();
    });
  connect(canvas, &InteractiveCanvas::polygon_completed, this, &AnnotatorTab::handle_new_poly);
  connect(canvas, &InteractiveCanvas::point_clicked, this, &AnnotatorTab::handle_canvas_point);
  connect(canvas, &InteractiveCanvas::selectionChanged, this, &AnnotatorTab::sync_canvas_selection);
  connect(canvas, &InteractiveCanvas::items_moved_signal, this, &AnnotatorTab::move_shapes);
  connect(canvas, &InteractiveCanvas::shape_edited, this, &AnnotatorTab::edit_vertices);
  // The canvas and the table mirror the document: every edit, undo and redo lands there first.
  connect(document, &AnnotationDocument::shapes_changed, this, &AnnotatorTab::mirror_document);
  connect(document, &AnnotationDocument::file_changed_on_disk, this, [this] {
    emit notice_signal(QStringLiteral("%1 was changed by another program; your next edit asks before writing it.")
                           .arg(QFileInfo(document->path()).fileName()));
  });
}

void AnnotatorTab::connect_classes() {
  connect(btn_label_kind, &QPushButton::clicked, this,
          [this] { switch_label_kind(label_kind_ == LabelKind::Boxes ? LabelKind::Polygons : LabelKind::Boxes); });
  connect(btn_confirm_empty, &QPushButton::clicked, this, [this] { confirm_empty(); });
  connect(btn_undo, &QPushButton::clicked, this, [this] { undo(); });
  connect(btn_redo, &QPushButton::clicked, this, [this] { redo(); });
  connect(list_classes, &QListWidget::currentRowChanged, this, [this] { update_class_buttons(); });
  connect(list_classes, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { rename_class(item->data(Qt::UserRole).toInt()); });
  connect(btn_class_rename, &QPushButton::clicked, this, [this] { rename_class(selected_class()); });
  connect(btn_class_merge, &QPushButton::clicked, this, [this] { merge_class(selected_class()); });
  connect(btn_class_delete, &QPushButton::clicked, this, [this] { delete_class(selected_class()); });
  connect(btn_class_up, &QPushButton::clicked, this, [this] { move_class(selected_class(), -1); });
  connect(btn_class_down, &QPushButton::clicked, this, [this] { move_class(selected_class(), +1); });
  connect(btn_class_undo, &QPushButton::clicked, this, [this] { undo_class_change(); });
  connect(list_classes, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    set_class_hidden(item->data(Qt::UserRole).toInt(), item->checkState() != Qt::Checked);
  });
}

}  // namespace quorlan

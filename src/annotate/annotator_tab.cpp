#include "annotate/annotator_tab.h"

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
#include "core/class_names.h"
#include "core/constants.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/label_files.h"
#include "core/polygon_edit.h"
#include "engine_client/engine_host.h"
#include "widgets/bgr_pixmap.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/prompts.h"
#include "widgets/shape_item.h"
#include "widgets/wait_cursor.h"
#include "widgets/zoomable_view.h"

namespace quorlan {
namespace {

// The draw modes and the letter that picks each.
const std::array<std::pair<const char*, Qt::Key>, 5> kModeKeys = {{{"Select/Move", Qt::Key_S},
                                                                   {"Polygon", Qt::Key_P},
                                                                   {"Rectangle", Qt::Key_R},
                                                                   {"Circle", Qt::Key_C},
                                                                   {"Pentagon", Qt::Key_G}}};

// A shape whose corners are dragged as a rectangle's: a box line, or a drawn rectangle that is
// still one.
bool keeps_rectangle(const ShapeState& state) {
  return (state.box || state.type.endsWith(QLatin1String("Rectangle"))) && is_axis_aligned_rectangle(state.points);
}

ShapeState state_of(const LabelShape& shape, const QString& type) {
  ShapeState state;
  state.class_id = shape.class_id;
  state.type = type;
  state.box = shape.box;
  state.points = shape.points;
  state.raw = shape.raw;
  state.original = shape.points;
  return state;
}

QString type_of_read(const LabelShape& shape) {
  return shape.points.size() == 4 ? QStringLiteral("Rectangle") : QStringLiteral("Polygon");
}

void print_line(const QString& text) {
  std::printf("%s\n", text.toLocal8Bit().constData());
  std::fflush(stdout);
}

}  // namespace

AnnotatorTab::AnnotatorTab(QWidget* parent) : QWidget(parent) { setup_workspace_tab(); }

// The scene deletes its items after this object's members are gone; it must not call back.
AnnotatorTab::~AnnotatorTab() { canvas->disconnect(this); }

void AnnotatorTab::setup_workspace_tab() {
  auto* main_layout = new QHBoxLayout(this);

  auto* left_box = named(new QGroupBox("Directory && Image Queue"), "left_box");
  left_box->setFixedWidth(280);
  auto* left_layout = new QVBoxLayout(left_box);
  btn_load_dir = named(new QPushButton("📂 Load Directory"), "btn_load_dir");
  btn_set_output = named(new QPushButton("🎯 Set Output Folder"), "btn_set_output");
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

  auto* center_widget = named(new QWidget, "center_widget");
  auto* center_layout = new QGridLayout(center_widget);
  center_layout->setContentsMargins(0, 0, 0, 0);
  canvas = new InteractiveCanvas(this);
  canvas->setObjectName("canvas");
  canvas_view = named(new ZoomableView, "canvas_view");
  canvas_view->setScene(canvas);
  btn_fit_screen = named(new QPushButton("FIT"), "btn_fit_screen");
  btn_fit_screen->setFixedSize(48, 32);
  center_layout->addWidget(canvas_view, 0, 0);
  center_layout->addWidget(btn_fit_screen, 0, 0, Qt::AlignTop | Qt::AlignRight);

  auto* right_box = named(new QGroupBox("AI Annotation Workstation"), "right_box");
  right_box->setFixedWidth(310);
  auto* right_layout = new QVBoxLayout(right_box);
  auto* mode_row = new QHBoxLayout;
  mode_row->addWidget(new QLabel("Active Mode:"));
  combo_mode = named(new QComboBox, "combo_mode");
  QStringList mode_keys;
  for (const auto& [mode, key] : kModeKeys) {
    combo_mode->addItem(mode);
    mode_keys << QStringLiteral("%1: %2").arg(QKeySequence(key).toString(), mode);
  }
  combo_mode->setToolTip("Keys: " + mode_keys.join(" · "));
  mode_row->addWidget(combo_mode, 1);
  right_layout->addLayout(mode_row);

  auto* ai_box = named(new QGroupBox("AI Assist && Auto-Labeling"), "ai_box");
  auto* ai_layout = new QVBoxLayout(ai_box);
  btn_copy_prev = named(new QPushButton("📋 Copy Previous Frame Shapes"), "btn_copy_prev");
  btn_load_ai = named(new QPushButton("🧠 Load AI Model (.pt)"), "btn_load_ai");
  auto* conf_row = new QHBoxLayout;
  conf_row->addWidget(new QLabel("AI Conf:"));
  spin_ai_conf = named(new QDoubleSpinBox, "spin_ai_conf");
  spin_ai_conf->setRange(0.01, 1.0);
  spin_ai_conf->setSingleStep(0.05);
  spin_ai_conf->setDecimals(2);
  spin_ai_conf->setValue(0.25);
  conf_row->addWidget(spin_ai_conf);
  btn_run_ai = named(new QPushButton("🤖 Auto-Label Frame"), "btn_run_ai");
  btn_run_ai->setEnabled(false);
  ai_layout->addWidget(btn_copy_prev);
  ai_layout->addWidget(btn_load_ai);
  ai_layout->addLayout(conf_row);
  ai_layout->addWidget(btn_run_ai);
  right_layout->addWidget(ai_box);

  auto* history_row = new QHBoxLayout;
  btn_undo = named(new QPushButton("↶ Undo"), "btn_undo");
  btn_undo->setToolTip("Undo the last edit of this image (Ctrl+Z)");
  btn_redo = named(new QPushButton("↷ Redo"), "btn_redo");
  btn_redo->setToolTip("Redo (Ctrl+Shift+Z or Ctrl+Y)");
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
  right_layout->addWidget(table_objects);
  annotations.attach(canvas, table_objects);
  btn_delete_obj = named(new QPushButton("🗑️ Delete Selected Shape"), "btn_delete_obj");
  btn_save_ann = named(new QPushButton("💾 Save Annotations && Workspace"), "btn_save_ann");
  btn_confirm_empty = named(new QPushButton("∅ Confirm No Objects"), "btn_confirm_empty");
  btn_confirm_empty->setToolTip("Mark this image as a background without objects: an empty label file (E)");
  right_layout->addWidget(btn_delete_obj);
  right_layout->addWidget(btn_confirm_empty);
  right_layout->addWidget(btn_save_ann);
  right_layout->addWidget(new QLabel("Shown Classes:"));
  list_classes = named(new QListWidget, "list_classes");
  list_classes->setMaximumHeight(110);
  list_classes->setToolTip("Untick a class to hide its shapes; hidden shapes are kept and saved as they are.");
  right_layout->addWidget(list_classes);

  main_layout->addWidget(left_box);
  main_layout->addWidget(center_widget, 1);
  main_layout->addWidget(right_box);

  connect(btn_load_dir, &QPushButton::clicked, this, [this] { load_directory(); });
  connect(btn_set_output, &QPushButton::clicked, this, [this] { set_output_folder(); });
  connect(list_images, &QListWidget::currentRowChanged, this, &AnnotatorTab::jump_to_image);
  connect(btn_prev_img, &QPushButton::clicked, this, [this] { prev_image(); });
  connect(btn_next_img, &QPushButton::clicked, this, [this] { next_image(); });
  connect(btn_fit_screen, &QPushButton::clicked, this, [this] { fit_canvas_to_screen(); });
  connect(combo_mode, &QComboBox::currentTextChanged, this, &AnnotatorTab::change_active_mode);
  connect(btn_copy_prev, &QPushButton::clicked, this, [this] { copy_previous_frame_shapes(); });
  connect(btn_load_ai, &QPushButton::clicked, this, [this] { load_ai_model(); });
  connect(btn_run_ai, &QPushButton::clicked, this, [this] { run_ai_autolabel(); });
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
      if (resolve_unsaved()) emit(this->*request)();
    });
  connect(canvas, &InteractiveCanvas::polygon_completed, this, &AnnotatorTab::handle_new_poly);
  connect(canvas, &InteractiveCanvas::point_clicked, this, &AnnotatorTab::handle_canvas_point);
  connect(canvas, &InteractiveCanvas::selectionChanged, this, &AnnotatorTab::sync_canvas_selection);
  connect(canvas, &InteractiveCanvas::items_moved_signal, this, [this] { commit_edit("Move"); });
  connect(canvas, &InteractiveCanvas::shape_edited, this, [this] { commit_edit("Edit Vertices"); });
  connect(btn_confirm_empty, &QPushButton::clicked, this, [this] { confirm_empty(); });
  connect(btn_undo, &QPushButton::clicked, this, [this] { undo(); });
  connect(btn_redo, &QPushButton::clicked, this, [this] { redo(); });
  connect(list_classes, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    set_class_hidden(item->data(Qt::UserRole).toInt(), item->checkState() != Qt::Checked);
  });
}

// ---------------------------------------------------------------- folder and navigation

void AnnotatorTab::load_directory() {
  const QString folder = prompts().get_existing_directory(this, "Select Image Directory");
  if (folder.isEmpty()) return;
  open_folder(folder);
}

void AnnotatorTab::open_folder(const QString& folder) {
  if (!resolve_unsaved()) return;  // the shapes on screen are kept before the folder changes

  // One listing of the folder gives the images (and the label files when they sit beside them).
  // Only regular files are listed: a FIFO or a device named like an image would block a read.
  const QDir dir(folder);
  const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
  const QString labels = label_folder_for(folder);
  QStringList paths;
  QSet<QString> label_files;
  for (const QString& name : names) {
    const int dot = name.lastIndexOf('.');
    if (dot <= 0) continue;
    const QString ext = name.mid(dot + 1).toLower();
    if (ext == QLatin1String("txt"))
      label_files.insert(name);
    else if (is_image_name(name))
      paths << dir.filePath(name);
  }
  if (labels != folder) {
    const QStringList txt = QDir(labels).entryList({"*.txt"}, QDir::Files | QDir::Hidden, QDir::Unsorted);
    label_files = QSet<QString>(txt.cbegin(), txt.cend());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.isEmpty()) {
    // A dataset's own folder holds no pictures: its manifest names the folders that do.
    const QString split = choose_split_folder(folder);
    if (!split.isEmpty()) return open_folder(split);
  }

  // The class names belong to the folder: never the previous folder's list.
  const FolderClasses found = load_folder_classes(folder, &names);
  document.close();
  prefetch_.clear();
  hidden_classes.clear();
  classes_unsaved_ = false;
  names_manifest_ = found.source == FolderClasses::Source::Manifest ? found.path : QString();
  manifest_told_ = false;
  image_folder = folder;
  label_folder = labels;
  image_paths = paths;
  classes = found.names;
  populate_image_list(label_files);
  rebuild_class_list();

  // Nothing of the previous folder stays on screen, or may be saved into this one's label files.
  if (image_paths.isEmpty()) {
    show_no_picture();
    emit notice_signal("No images in " + QDir::toNativeSeparators(folder));
    return;
  }
  current_idx = 0;
  if (!show_readable(0, +1)) show_no_picture();
}

void AnnotatorTab::show_no_picture() {
  display_cv_img.release();
  display_image_ = QImage();
  canvas->reset_drawing();
  canvas->clear();
  annotations.forget();
  update_history_buttons();
  rebuild_class_list();  // the ids of the shapes that were shown go with them
  lbl_img_status->setText("Status: Pending");
  lbl_img_status->setStyleSheet(QString());
}

QString AnnotatorTab::choose_split_folder(const QString& folder) {
  const QString manifest = find_dataset_manifest(folder);
  if (manifest.isEmpty()) return {};
  const QDir root = QFileInfo(manifest).absoluteDir();
  QStringList splits, choices;
  for (const QString& split : manifest_split_folders(manifest)) {
    if (list_folder_images(split).isEmpty()) continue;
    splits << split;
    choices << QDir::toNativeSeparators(root.relativeFilePath(split));
  }
  if (splits.isEmpty()) return {};
  const int chosen = prompts().choose(
      this, "Open a Split",
      QStringLiteral("%1 holds no images. Its dataset manifest %2 names these image folders; open one?")
          .arg(QDir::toNativeSeparators(folder), QFileInfo(manifest).fileName()),
      choices + QStringList{"Cancel"});
  return chosen >= 0 && chosen < splits.size() ? splits[chosen] : QString();
}

void AnnotatorTab::set_output_folder() {
  const QString folder = prompts().get_existing_directory(this, "Select Output Directory");
  if (folder.isEmpty()) return;
  output_folder = folder;
  lbl_output_folder->setText("Output: " + QFileInfo(folder).fileName());
}

bool AnnotatorTab::load_current_image() { return show_image(current_idx); }

QString AnnotatorTab::label_path_of(const QString& image_path) const {
  return label_path_in(label_folder.isEmpty() ? QFileInfo(image_path).path() : label_folder, image_path);
}

// Shows image `idx`. When it cannot be read nothing changes: the current index, the list row
// and the records stay with the image on screen, and a notice names the file.
bool AnnotatorTab::show_image(int idx) {
  if (idx < 0 || idx >= image_paths.size()) return false;
  const QString path = image_paths[idx];
  // A neighbour decoded in the background while the last image was shown is ready at once.
  std::optional<DecodedImage> decoded = prefetch_.take(path);
  if (!decoded) decoded = decode_for_canvas(path);
  if (decoded->bgr.empty()) {
    {
      const QSignalBlocker block(list_images);
      list_images->setCurrentRow(current_idx);
    }
    const QString too_large = too_large_to_decode(path);
    emit notice_signal(too_large.isEmpty() ? "Could not read image: " + QFileInfo(path).fileName() : too_large);
    return false;
  }
  const int previous_idx = current_idx;
  current_idx = idx;
  display_cv_img = decoded->bgr;
  display_image_ = decoded->image;
  {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(current_idx);
  }
  annotations.forget();  // the canvas is cleared for the new picture, the items with it
  render_canvas_image();
  load_existing_annotations(path);
  set_status_label(current_mark());
  check_history_after_show();
  // The neighbours are decoded while this one is looked at, the one ahead in the direction of
  // travel first.
  const int ahead = idx < previous_idx ? -1 : +1;
  QStringList neighbours;
  for (int neighbour : {idx + ahead, idx - ahead})
    if (neighbour >= 0 && neighbour < image_paths.size()) neighbours << image_paths[neighbour];
  prefetch_.keep_only(neighbours);
  return true;
}

bool AnnotatorTab::show_readable(int idx, int step) {
  QStringList skipped;
  for (int i = idx; i >= 0 && i < image_paths.size(); i += step) {
    if (show_image(i)) {
      if (!skipped.isEmpty()) emit notice_signal("Skipped unreadable image(s): " + skipped.join(", "));
      return true;
    }
    skipped << QFileInfo(image_paths[i]).fileName();
  }
  if (!skipped.isEmpty()) emit notice_signal("Could not read image(s): " + skipped.join(", "));
  return false;
}

void AnnotatorTab::set_status_label(LabelMark mark) {
  lbl_img_status->setText(mark == LabelMark::Annotated    ? "STATUS: ANNOTATED"
                          : mark == LabelMark::Background ? "STATUS: NO OBJECTS (BACKGROUND)"
                                                          : "STATUS: PENDING");
  lbl_img_status->setStyleSheet(mark == LabelMark::Pending ? "color: #D3112E;" : "color: #10B981;");
}

LabelMark AnnotatorTab::current_mark() const {
  if (document.path().isEmpty()) return LabelMark::Pending;
  const FileStamp stamp = file_stamp(document.path());
  if (!stamp.exists) return LabelMark::Pending;
  return stamp.size == 0 ? LabelMark::Background : LabelMark::Annotated;
}

void AnnotatorTab::render_canvas_image() {
  if (display_cv_img.empty()) return;
  {
    const QSignalBlocker block_scene(canvas);
    const QSignalBlocker block_table(table_objects);
    canvas->reset_drawing();
    canvas->clear();
    if (display_image_.isNull()) display_image_ = qimage_from_bgr(display_cv_img);
    canvas->addPixmap(QPixmap::fromImage(display_image_));
    canvas->setSceneRect(0, 0, display_cv_img.cols, display_cv_img.rows);
  }
  fit_canvas_to_screen();
}

void AnnotatorTab::fit_canvas_to_screen() {
  if (canvas->sceneRect().width() > 0) canvas_view->fitInView(canvas->sceneRect(), Qt::KeepAspectRatio);
}

void AnnotatorTab::jump_to_image(int row) {
  if (row < 0 || row >= image_paths.size() || row == current_idx) return;
  if (!resolve_unsaved() || !show_image(row)) {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(current_idx);
  }
}

void AnnotatorTab::show_image_file(const QString& path) {
  const int row = static_cast<int>(image_paths.indexOf(path));
  if (row >= 0) jump_to_image(row);
}

void AnnotatorTab::prev_image() {
  if (current_idx <= 0) return;
  if (!resolve_unsaved()) return;
  show_readable(current_idx - 1, -1);
}

void AnnotatorTab::next_image() {
  if (current_idx >= image_paths.size() - 1) return;
  if (!resolve_unsaved()) return;
  show_readable(current_idx + 1, +1);
}

void AnnotatorTab::change_active_mode(const QString& mode) {
  canvas->set_draw_mode(mode);
  canvas_view->set_interaction_mode(mode);
}

void AnnotatorTab::handle_canvas_point(const QPointF&) {}

// ---------------------------------------------------------------- records and files

int AnnotatorTab::class_count() const { return classes.isEmpty() ? -1 : static_cast<int>(classes.size()); }

QString AnnotatorTab::class_name(int id) const {
  return id >= 0 && id < classes.size() ? classes[id] : QString::number(id);
}

void AnnotatorTab::fill_record(AnnotationRecord& record, const ShapeState& state) const {
  record.class_id = state.class_id;
  record.label = class_name(state.class_id);
  record.type = state.type;
  record.box = state.box;
  record.raw = state.raw;
  record.original = state.original;
}

// A shape's record, canvas item and table row at `row`.
void AnnotatorTab::insert_record(int row, const ShapeState& state) {
  AnnotationRecord record;
  record.item = new ShapeItem(state.points, keeps_rectangle(state));
  fill_record(record, state);
  annotations.insert(row, record);
}

void AnnotatorTab::update_record(int row, const ShapeState& state) {
  AnnotationRecord& record = annotations[row];
  if (record.item->scene_points() != state.points) record.item->set_scene_points(state.points);
  record.item->set_rectangle(keeps_rectangle(state));
  fill_record(record, state);
  annotations.refresh_row(row);
}

ImageState AnnotatorTab::current_state() const {
  ImageState state;
  state.confirmed_empty = confirmed_empty_ && annotations.isEmpty();
  state.shapes.reserve(annotations.size());
  for (const AnnotationRecord& record : annotations) {
    ShapeState shape;
    shape.class_id = record.class_id;
    shape.type = record.type;
    shape.box = record.box;
    shape.points = record.item->scene_points();
    shape.raw = record.raw;
    shape.original = record.original;
    state.shapes.append(shape);
  }
  return state;
}

// Only the rows that differ are touched: the unchanged runs at both ends stay as they are, so
// undoing one edit among thousands of shapes costs about one shape.
void AnnotatorTab::apply_state(const ImageState& state) {
  const QSignalBlocker block_scene(canvas);
  const QSignalBlocker block_table(table_objects);
  const ImageState now = current_state();
  const int old_count = static_cast<int>(now.shapes.size());
  const int new_count = static_cast<int>(state.shapes.size());
  int front = 0;
  while (front < old_count && front < new_count && now.shapes[front].same_shape(state.shapes[front])) ++front;
  int back = 0;
  while (back < old_count - front && back < new_count - front &&
         now.shapes[old_count - 1 - back].same_shape(state.shapes[new_count - 1 - back]))
    ++back;
  const int old_middle = old_count - front - back;
  const int new_middle = new_count - front - back;
  const int common = std::min(old_middle, new_middle);
  for (int i = 0; i < common; ++i) update_record(front + i, state.shapes[front + i]);
  for (int i = old_middle - 1; i >= common; --i) annotations.remove(front + i);
  for (int i = common; i < new_middle; ++i) insert_record(front + i, state.shapes[front + i]);
  confirmed_empty_ = state.confirmed_empty;
}

void AnnotatorTab::load_existing_annotations(const QString& img_path) {
  const QSignalBlocker block_table(table_objects);
  const QSignalBlocker block_scene(canvas);
  annotations.clear();

  document.close();
  confirmed_empty_ = false;
  if (!display_cv_img.empty()) {
    document.open(label_path_of(img_path), class_count(), QSize(display_cv_img.cols, display_cv_img.rows));
    const LabelReadResult& read = document.content();
    for (const LabelShape& shape : read.shapes) insert_record(annotations.size(), state_of(shape, type_of_read(shape)));
    confirmed_empty_ =
        document.stamp().exists && document.read_error().isEmpty() && read.shapes.isEmpty() && read.kept.isEmpty();
    if (!document.content().error.isEmpty()) print_line("Error loading annotations: " + document.content().error);
    if (!document.read_error().isEmpty()) {
      print_line("Error loading annotations: " + document.read_error());
      emit notice_signal("The label file could not be read; it will not be written: " + document.read_error());
    } else if (const int kept = document.content().kept.size()) {
      emit notice_signal(QStringLiteral("%1 line(s) of %2 are kept but not shown.")
                             .arg(kept)
                             .arg(QFileInfo(document.path()).fileName()));
    } else {
      emit notice_signal(QString());  // nothing to say about this image: the last notice goes
    }
  }
  last_state_ = current_state();
  rebuild_class_list();
  apply_class_visibility();
  update_annotation_colors();
}

AnnotatorTab::WriteOutcome AnnotatorTab::write_changes(QString* reason) {
  if (display_cv_img.empty() || document.path().isEmpty()) return WriteOutcome::Written;
  // A shape moved by any means since it was read or written is a change too.
  for (const AnnotationRecord& record : annotations)
    if (record.item->mapToScene(record.item->polygon()) != record.original) document.mark_changed();
  if (!document.is_changed()) return WriteOutcome::Written;
  if (classes_unsaved_) {
    const QString classes_path = classes_file_path();
    const Status written = write_file_atomically(classes_path, classes_file_bytes(classes));
    if (!written) {
      if (reason) *reason = QDir::toNativeSeparators(classes_path) + ": " + written.error();
      return WriteOutcome::Failed;
    }
    classes_unsaved_ = false;
  }
  if (document.changed_on_disk()) {
    const int choice = prompts().choose(
        this, "Label File Changed",
        QStringLiteral("%1 was changed by another program since it was shown.\n\nReload its version (your "
                       "changes to this image are dropped) or overwrite it with the shapes on screen?")
            .arg(QDir::toNativeSeparators(document.path())),
        {"Reload", "Overwrite", "Cancel"});
    if (choice == 0) {
      show_image(current_idx);
      return WriteOutcome::Written;
    }
    if (choice != 1) return WriteOutcome::Stayed;
  }
  QVector<LabelShape> shapes;
  shapes.reserve(annotations.size());
  for (const AnnotationRecord& record : annotations) {
    LabelShape shape;
    shape.class_id = record.class_id;
    shape.box = record.box;
    shape.points = record.item->mapToScene(record.item->polygon());
    if (shape.points == record.original) shape.raw = record.raw;  // untouched: its line as read
    shapes.append(shape);
  }
  const Status saved = document.save(shapes, confirmed_empty_ && shapes.isEmpty());
  update_single_list_status();
  if (!saved) {
    if (reason) *reason = saved.error();
    return WriteOutcome::Failed;
  }
  if (const auto history = histories_.find(document.path()); history != histories_.end())
    history->label_stamp = document.stamp();
  const QVector<LabelShape>& written = document.content().shapes;
  for (int i = 0; i < annotations.size() && i < written.size(); ++i) {
    annotations[i].raw = written[i].raw;
    annotations[i].original = written[i].points;
  }
  return WriteOutcome::Written;
}

bool AnnotatorTab::save_current_annotations() {
  QString reason;
  const WriteOutcome outcome = write_changes(&reason);
  if (outcome == WriteOutcome::Failed)
    prompts().warning(this, "Save Failed",
                      QStringLiteral("Could not write %1:\n%2\n\nThe shapes are still on screen; "
                                     "fix the folder and save again.")
                          .arg(QDir::toNativeSeparators(document.path()), reason));
  return outcome == WriteOutcome::Written;
}

bool AnnotatorTab::resolve_unsaved() {
  for (;;) {
    QString reason;
    const WriteOutcome outcome = write_changes(&reason);
    if (outcome == WriteOutcome::Written) return true;
    if (outcome == WriteOutcome::Stayed) return false;
    const int choice = prompts().choose(
        this, "Save Failed",
        QStringLiteral("Could not write %1:\n%2\n\nRetry, discard the changes to this image, or stay here?")
            .arg(QDir::toNativeSeparators(document.path()), reason),
        {"Retry", "Discard Changes", "Stay"});
    if (choice == 0) continue;
    if (choice == 1) {
      document.clear_changed();
      // The history ends in what was discarded: it no longer leads to the file.
      if (QUndoStack* stack = history()) stack->clear();
      return true;
    }
    return false;
  }
}

bool AnnotatorTab::mark_changed_and_save() {
  if (display_cv_img.empty() || document.path().isEmpty()) return false;
  document.mark_changed();
  return save_current_annotations();
}

// ---------------------------------------------------------------- history

QUndoStack* AnnotatorTab::history() const {
  const auto found = histories_.find(document.path());
  return found == histories_.end() ? nullptr : found->stack;
}

QUndoStack* AnnotatorTab::history_for_current() {
  History& history = histories_[document.path()];
  if (!history.stack) {
    history.stack = new QUndoStack(this);
    history.label_stamp = document.stamp();
    history.image_size = QSize(display_cv_img.cols, display_cv_img.rows);
  }
  return history.stack;
}

void AnnotatorTab::check_history_after_show() {
  const auto found = histories_.find(document.path());
  if (found != histories_.end() && (found->label_stamp != document.stamp() ||
                                    found->image_size != QSize(display_cv_img.cols, display_cv_img.rows))) {
    // Another program changed the label file or the picture: the old steps no longer apply.
    found->stack->clear();
    found->label_stamp = document.stamp();
    found->image_size = QSize(display_cv_img.cols, display_cv_img.rows);
  }
  update_history_buttons();
}

void AnnotatorTab::update_history_buttons() {
  const QUndoStack* stack = history();
  btn_undo->setEnabled(stack && stack->canUndo());
  btn_redo->setEnabled(stack && stack->canRedo());
}

bool AnnotatorTab::commit_edit(const QString& text) {
  if (display_cv_img.empty() || document.path().isEmpty()) return false;
  if (!annotations.isEmpty()) confirmed_empty_ = false;  // an image with objects is no background
  ImageState now = current_state();
  if (now.same_as(last_state_)) return true;
  history_for_current()->push(
      new SnapshotCommand(text, last_state_, now, [this](const ImageState& state) { restore_state(state); }));
  last_state_ = std::move(now);
  update_history_buttons();
  return mark_changed_and_save();
}

void AnnotatorTab::restore_state(const ImageState& state) {
  apply_state(state);
  last_state_ = state;
  apply_class_visibility();
  update_annotation_colors();
  mark_changed_and_save();
}

void AnnotatorTab::undo() {
  // While a polygon is being drawn, undo takes back its last point.
  if (canvas->remove_last_point()) return;
  if (QUndoStack* stack = history(); stack && stack->canUndo()) stack->undo();
  update_history_buttons();
}

void AnnotatorTab::redo() {
  if (QUndoStack* stack = history(); stack && stack->canRedo()) stack->redo();
  update_history_buttons();
}

void AnnotatorTab::confirm_empty() {
  if (display_cv_img.empty() || document.path().isEmpty() || confirmed_empty_) return;
  if (!annotations.isEmpty()) {
    prompts().information(this, "Confirm No Objects",
                          "This image has objects. Delete them first to mark it as a background without objects.");
    return;
  }
  if (!document.content().kept.isEmpty() || !document.read_error().isEmpty()) {
    prompts().information(this, "Confirm No Objects",
                          "The label file holds lines that are kept but not shown; it is not emptied.");
    return;
  }
  confirmed_empty_ = true;
  commit_edit("Confirm No Objects");
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
    const bool hidden = hidden_classes.contains(annotations[row].class_id);
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
    if (record.class_id >= classes.size()) unnamed.insert(record.class_id);
  QList<int> ids(unnamed.cbegin(), unnamed.cend());
  std::sort(ids.begin(), ids.end());
  for (int id : ids) entries.append({id, QString::number(id)});
  bool same = list_classes->count() == entries.size();
  for (int i = 0; same && i < entries.size(); ++i)
    same = list_classes->item(i)->data(Qt::UserRole).toInt() == entries[i].first &&
           list_classes->item(i)->text() == entries[i].second;
  if (same) return;
  const QSignalBlocker block(list_classes);
  list_classes->clear();
  for (const auto& [id, name] : entries) {
    auto* item = new QListWidgetItem(name, list_classes);
    item->setData(Qt::UserRole, id);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setCheckState(hidden_classes.contains(id) ? Qt::Unchecked : Qt::Checked);
    item->setForeground(QColor(CLASS_COLORS[id % CLASS_COLORS.size()]));
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

QString AnnotatorTab::classes_file_path() const { return QDir(image_folder).filePath("classes.txt"); }

bool AnnotatorTab::save_classes_file() {
  if (image_folder.isEmpty()) return true;
  return write_or_warn(classes_file_path(), classes_file_bytes(classes));
}

int AnnotatorTab::largest_id_in_folder() const {
  int largest = -1;
  for (const AnnotationRecord& record : annotations) largest = std::max(largest, record.class_id);
  for (const QString& image : image_paths) {
    const Expected<QByteArray> loaded = read_regular_file(label_path_of(image));
    if (!loaded) continue;
    const QByteArray& bytes = *loaded;
    for (const LabelShape& shape : parse_label_bytes(bytes, -1, 1, 1).shapes)
      largest = std::max(largest, shape.class_id);
  }
  return largest;
}

int AnnotatorTab::class_id_for(const QString& label, int chosen_index) {
  if (chosen_index >= 0 && chosen_index < classes.size() && classes[chosen_index] == label) return chosen_index;
  const int known = static_cast<int>(classes.indexOf(label));
  if (known >= 0) return known;
  // Without names every shape shows its id: a number typed is that id.
  bool is_number = false;
  const int number = label.toInt(&is_number);
  if (is_number && number >= 0 && number >= classes.size() && label == QString::number(number)) return number;
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

void AnnotatorTab::update_single_list_status() {
  if (image_paths.isEmpty() || current_idx < 0 || current_idx >= image_paths.size()) return;
  QListWidgetItem* item = list_images->item(current_idx);
  if (!item) return;
  const QString& path = image_paths[current_idx];
  const LabelMark mark = current_mark();
  if (current_idx < marks_.size()) marks_[current_idx] = mark;
  item->setText(status_mark(mark) + QFileInfo(path).fileName());
  set_status_label(mark);
  update_progress();
}

void AnnotatorTab::update_progress() {
  const auto done = std::count_if(marks_.cbegin(), marks_.cend(), [](LabelMark m) { return m != LabelMark::Pending; });
  lbl_progress->setText(QStringLiteral("Annotated: %1 / %2").arg(done).arg(image_paths.size()));
}

void AnnotatorTab::populate_image_list() {
  // One listing of the folder's label files instead of one file check per image.
  const QString labels = label_folder.isEmpty() ? image_folder : label_folder;
  const QStringList txt_names = QDir(labels).entryList({"*.txt"}, QDir::Files | QDir::Hidden, QDir::Unsorted);
  populate_image_list(QSet<QString>(txt_names.cbegin(), txt_names.cend()));
}

void AnnotatorTab::populate_image_list(const QSet<QString>& label_files) {
  const QSignalBlocker block(list_images);
  list_images->clear();
  const QDir folder(image_folder);
  QStringList texts;
  texts.reserve(image_paths.size());
  marks_.clear();
  marks_.reserve(image_paths.size());
  for (const QString& path : image_paths) {
    const QFileInfo info(path);
    const QString label = label_path_of(path);
    const bool annotated = info.absolutePath() == folder.absolutePath()
                               ? label_files.contains(QFileInfo(label).fileName())
                               : QFileInfo::exists(label);
    // Only the label files found are looked at again, for their size.
    const LabelMark mark = !annotated                     ? LabelMark::Pending
                           : QFileInfo(label).size() == 0 ? LabelMark::Background
                                                          : LabelMark::Annotated;
    marks_.append(mark);
    texts << status_mark(mark) + info.fileName();
  }
  list_images->addItems(texts);
  update_progress();
}

void AnnotatorTab::update_annotation_colors() {
  for (const AnnotationRecord& record : annotations) {
    const int class_id = std::max(0, record.class_id);
    const QColor colour(CLASS_COLORS[class_id % CLASS_COLORS.size()]);
    QColor fill = colour;
    const bool selected = record.item->isSelected();
    fill.setAlpha(selected ? 120 : 60);
    record.item->setPen(QPen(colour, selected ? 4 : 2));
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
  last_label = label;
  return class_id_for(label, dialog.chosen_index());
}

void AnnotatorTab::handle_new_poly(const QPolygonF& polygon) {
  if (display_cv_img.empty()) return;
  const std::optional<int> class_id = ask_class(last_label);
  if (!class_id) return;
  add_record(polygon, *class_id, combo_mode->currentText());
  commit_edit("Add Shape");
}

void AnnotatorTab::add_annotation(const QPolygonF& polygon, const QString& label, const QString& type) {
  add_record(polygon, class_id_for(clean_class_name(label), -1), type);
  commit_edit("Add Shape");
}

// A new shape on the canvas, its record and its table row.
void AnnotatorTab::add_record(const QPolygonF& polygon, int class_id, const QString& type) {
  const QSignalBlocker block(table_objects);
  ShapeState state;
  state.class_id = class_id;
  state.type = type;
  state.points = polygon;
  insert_record(annotations.size(), state);
  apply_class_visibility();
  update_annotation_colors();
}

void AnnotatorTab::relabel_shape(int row) {
  if (row < 0 || row >= annotations.size()) return;
  const std::optional<int> class_id = ask_class(annotations[row].label);
  if (!class_id || row >= annotations.size() || *class_id == annotations[row].class_id) return;
  AnnotationRecord& record = annotations[row];
  record.class_id = *class_id;
  record.label = class_name(*class_id);
  record.raw.clear();
  record.original.clear();
  {
    const QSignalBlocker block(table_objects);
    annotations.refresh_row(row);
  }
  apply_class_visibility();
  update_annotation_colors();
  commit_edit("Change Class");
}

// ---------------------------------------------------------------- model-assisted labelling

void AnnotatorTab::load_ai_model() {
  if (!HAS_YOLO()) {
    prompts().critical(this, "Error", "Ultralytics is not installed.");
    return;
  }
  const QString path = prompts().get_open_file_name(this, "Load YOLO AI Model", QString(), "PyTorch Weights (*.pt)");
  if (path.isEmpty()) return;
  QString error;
  std::optional<EngineModel> model;
  {
    const WaitCursor wait;
    model = PredictionHost::instance().load("ai", path, &error);
  }
  if (!model) {
    prompts().critical(this, "Error", "The model could not be loaded:\n" + error);
    return;
  }
  ai_model = model;
  btn_run_ai->setEnabled(true);
  prompts().information(this, "AI Model Loaded", "Loaded model: " + QFileInfo(path).fileName());
}

void AnnotatorTab::run_ai_autolabel() {
  if (!ai_model || image_paths.isEmpty() || current_idx >= image_paths.size() || display_cv_img.empty()) return;
  const QString source = image_paths[current_idx];
  std::optional<WaitCursor> wait(std::in_place);
  QString error;
  const std::optional<Prediction> result =
      PredictionHost::instance().predict(*ai_model, source, spin_ai_conf->value(), 0, false, &error);
  if (!result) {
    wait.reset();
    prompts().critical(this, "AI Error", "An error occurred during auto-labeling:\n" + error);
    return;
  }
  if (result->boxes.isEmpty()) {
    wait.reset();
    prompts().information(this, "AI Assist", "No objects detected at current confidence threshold.");
    return;
  }
  // A model's class name with a line break would split classes.txt and shift every later id.
  const auto id_of = [&](int cls) {
    const QString name = clean_class_name(result->names.value(cls, ai_model->names.value(cls, QString::number(cls))));
    return class_id_for(name.isEmpty() ? QString::number(cls) : name, -1);
  };
  if (result->masks) {
    const int n = std::min<int>(result->masks->size(), result->boxes.size());
    for (int i = 0; i < n; ++i) add_record((*result->masks)[i], id_of(result->boxes[i].cls), "AI Polygon");
  } else {
    for (const Detection& d : result->boxes) {
      const QPolygonF rect({{d.x1, d.y1}, {d.x2, d.y1}, {d.x2, d.y2}, {d.x1, d.y2}});
      add_record(rect, id_of(d.cls), "AI Rectangle");
    }
  }
  const bool saved = commit_edit("Auto-Label");
  wait.reset();
  if (saved)
    prompts().information(this, "AI Success",
                          QStringLiteral("Successfully auto-labeled %1 object(s).").arg(result->boxes.size()));
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

void AnnotatorTab::remove_records(QVector<int> rows) {
  std::sort(rows.begin(), rows.end(), std::greater<int>());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  const QSignalBlocker block_scene(canvas);
  const QSignalBlocker block_table(table_objects);
  for (int row : rows) {
    if (row >= 0 && row < annotations.size()) annotations.remove(row);
  }
  update_annotation_colors();
  commit_edit("Delete");
}

void AnnotatorTab::ann_delete_selected() {
  const int row = table_objects->currentRow();
  if (row < 0 || row >= annotations.size()) return;
  remove_records({row});
}

QList<QKeySequence> AnnotatorTab::annotator_keys() {
  QList<QKeySequence> keys = {Qt::Key_D,
                              Qt::Key_Right,
                              Qt::Key_A,
                              Qt::Key_Left,
                              Qt::Key_E,
                              QKeySequence(Qt::CTRL | Qt::Key_S),
                              QKeySequence(Qt::CTRL | Qt::Key_D),
                              QKeySequence(Qt::CTRL | Qt::Key_Z),
                              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                              QKeySequence(Qt::CTRL | Qt::Key_Y)};
  for (const auto& mode_key : kModeKeys) keys << QKeySequence(mode_key.second);
  return keys;
}

void AnnotatorTab::handle_edit_key(int key) {
  const int ctrl = static_cast<int>(Qt::CTRL);
  if (key == (ctrl | Qt::Key_Z)) return undo();
  if (key == (ctrl | Qt::SHIFT | Qt::Key_Z) || key == (ctrl | Qt::Key_Y)) return redo();
  if (key == (ctrl | Qt::Key_S)) {
    save_current_annotations();
    return;
  }
  for (const auto& [mode, mode_key] : kModeKeys)
    if (key == mode_key) return combo_mode->setCurrentText(mode);
  // While a polygon is being drawn the keys edit it, never the finished shapes.
  if (canvas->drawing || !canvas->current_polygon.isEmpty()) {
    if (key == Qt::Key_Escape)
      canvas->reset_drawing();
    else if (key == Qt::Key_Backspace)
      canvas->remove_last_point();
    return;
  }
  if (key == Qt::Key_D || key == Qt::Key_Right) return next_image();
  if (key == Qt::Key_A || key == Qt::Key_Left) return prev_image();
  if (key == (ctrl | Qt::Key_D)) return copy_previous_frame_shapes();
  if (key == Qt::Key_E) return confirm_empty();
  if (key != Qt::Key_Delete && key != Qt::Key_Backspace) return;
  // The shapes highlighted on the canvas, all of them; nothing when none is.
  QVector<int> rows;
  const QList<QGraphicsItem*> selected = canvas->selectedItems();
  for (int i = 0; i < annotations.size(); ++i)
    if (selected.contains(annotations[i].item)) rows << i;
  if (!rows.isEmpty()) remove_records(rows);
}

void AnnotatorTab::copy_previous_frame_shapes() {
  if (current_idx == 0 || image_paths.isEmpty()) {
    prompts().warning(this, "Unavailable", "No previous image available to copy annotations from.");
    return;
  }
  if (display_cv_img.empty()) return;
  const LabelReadResult read = read_label_file(label_path_of(image_paths[current_idx - 1]), class_count(),
                                               display_cv_img.cols, display_cv_img.rows);
  ImageState copied;
  for (LabelShape shape : read.shapes) {
    shape.raw.clear();  // a line of another image: this image's file gets its own
    copied.shapes.append(state_of(shape, type_of_read(shape)));
  }
  apply_state(copied);
  rebuild_class_list();
  apply_class_visibility();
  update_annotation_colors();
  commit_edit("Copy Previous Frame");
}

}  // namespace quorlan

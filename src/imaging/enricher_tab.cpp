#include "imaging/enricher_tab.h"

#include "core/image_files.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGraphicsPolygonItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QSpinBox>
#include <QVBoxLayout>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/class_colours.h"
#include "core/class_names.h"
#include "core/constants.h"
#include "core/image_limits.h"
#include "core/image_reader.h"
#include "core/label_geometry.h"
#include "shell/theme.h"
#include "widgets/background_work.h"
#include "widgets/bgr_pixmap.h"
#include "widgets/interactive_canvas.h"
#include "widgets/prompts.h"
#include "widgets/zoomable_view.h"

namespace quorlan {
namespace {

cv::Mat read_bgr(const QString& path) {
  const Expected<cv::Mat> read = read_image_bgr(path);
  return read ? *read : cv::Mat();
}

}  // namespace

EnricherTab::EnricherTab(QWidget* parent) : QWidget(parent) { setup_aug_tab(); }

void EnricherTab::setup_aug_tab() {
  auto* layout = new QHBoxLayout(this);

  auto* left = new QGroupBox("Configuration && Parameters");
  left->setFixedWidth(380);
  auto* left_layout = new QVBoxLayout(left);
  auto* io = new QGridLayout;
  aug_entry_in = new QLineEdit;
  aug_entry_in->setObjectName("aug_entry_in");
  aug_entry_in->setPlaceholderText("Select input directory...");
  aug_entry_out = new QLineEdit;
  aug_entry_out->setObjectName("aug_entry_out");
  aug_entry_out->setPlaceholderText("Select output directory...");
  auto* browse_in = new QPushButton("Browse...");
  browse_in->setObjectName("btn_aug_browse_in");
  auto* browse_out = new QPushButton("Browse...");
  browse_out->setObjectName("btn_aug_browse_out");
  io->addWidget(new QLabel("Input:"), 0, 0);
  io->addWidget(aug_entry_in, 0, 1);
  io->addWidget(browse_in, 0, 2);
  io->addWidget(new QLabel("Output:"), 1, 0);
  io->addWidget(aug_entry_out, 1, 1);
  io->addWidget(browse_out, 1, 2);
  left_layout->addLayout(io);
  aug_lbl_status = new QLabel("Total Images: 0 | Enriched: 0");
  aug_lbl_status->setObjectName("aug_lbl_status");
  aug_lbl_status->setStyleSheet("font-weight: bold; margin-top: 5px; margin-bottom: 5px;");
  left_layout->addWidget(aug_lbl_status);

  left_layout->addWidget(build_ranges(), 1);

  auto* batch = new QGroupBox("Batch Generator Options");
  auto* batch_form = new QFormLayout(batch);
  spin_aug_gen_count = new QSpinBox;
  spin_aug_gen_count->setObjectName("spin_aug_gen_count");
  spin_aug_gen_count->setRange(1, 1000);
  spin_aug_gen_count->setValue(10);
  auto* enrich = new QPushButton("⚡ ENRICH DATASET");
  enrich->setObjectName("primaryBtn");
  batch_form->addRow("Variants per Source:", spin_aug_gen_count);
  chk_aug_write_labels = new QCheckBox("Write YOLO labels for the outputs");
  chk_aug_write_labels->setObjectName("chk_aug_write_labels");
  chk_aug_write_labels->setToolTip("Each variant gets its source's labels moved by the variant's own geometry.");
  chk_aug_write_labels->setEnabled(false);
  batch_form->addRow(chk_aug_write_labels);
  batch_form->addRow(enrich);
  left_layout->addWidget(batch);

  layout->addWidget(left);
  layout->addWidget(build_simulator(), 1);

  connect(browse_in, &QPushButton::clicked, this, [this] { aug_load_input(); });
  connect(browse_out, &QPushButton::clicked, this, [this] { aug_load_output(); });
  connect(enrich, &QPushButton::clicked, this, [this] { enrich_current_image(); });
}

// The five ranges the variants are drawn from.
QGroupBox* EnricherTab::build_ranges() {
  auto* ranges = new QGroupBox("Augmentation Ranges (Min - Max)");
  auto* ranges_layout = new QVBoxLayout(ranges);
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* inner = new QWidget;
  auto* grid = new QGridLayout(inner);
  auto* min_label = new QLabel("Min");
  min_label->setAlignment(Qt::AlignCenter);
  auto* max_label = new QLabel("Max");
  max_label->setAlignment(Qt::AlignCenter);
  grid->addWidget(min_label, 0, 1);
  grid->addWidget(max_label, 0, 2);
  const auto make_spin = [](double value, double min, double max, double step, int decimals = 0) {
    auto* box = new QDoubleSpinBox;
    box->setRange(min, max);
    box->setSingleStep(step);
    box->setDecimals(decimals);
    box->setValue(value);
    return box;
  };
  aug_b_min = make_spin(-30, -100, 100, 1);
  aug_b_max = make_spin(30, -100, 100, 1);
  aug_c_min = make_spin(0.8, 0.1, 3.0, 0.1, 2);
  aug_c_max = make_spin(1.2, 0.1, 3.0, 0.1, 2);
  aug_r_min = make_spin(-15, -180, 180, 1);
  aug_r_max = make_spin(15, -180, 180, 1);
  aug_l_min = make_spin(0.8, 0.1, 3.0, 0.1, 2);
  aug_l_max = make_spin(1.2, 0.1, 3.0, 0.1, 2);
  aug_w_min = make_spin(0, 0, 50, 1, 1);
  aug_w_max = make_spin(5, 0, 50, 1, 1);
  const struct {
    const char* text;
    const char* tip;
    QDoubleSpinBox* min;
    QDoubleSpinBox* max;
    const char* min_name;
    const char* max_name;
  } rows[] = {
      {"Brightness Add:", "Intensity offset (-100 to +100)", aug_b_min, aug_b_max, "aug_b_min", "aug_b_max"},
      {"Contrast Scale:", "Multiplier (0.1 to 3.0)", aug_c_min, aug_c_max, "aug_c_min", "aug_c_max"},
      {"Rotation (°):", "Random slight rotations", aug_r_min, aug_r_max, "aug_r_min", "aug_r_max"},
      {"Lighting (Gamma):", "Gamma curve adjustment", aug_l_min, aug_l_max, "aug_l_min", "aug_l_max"},
      {"Warp Var. (%):", "Random perspective skew %", aug_w_min, aug_w_max, "aug_w_min", "aug_w_max"},
  };
  for (int i = 0; i < 5; ++i) {
    rows[i].min->setObjectName(rows[i].min_name);
    rows[i].max->setObjectName(rows[i].max_name);
    grid->addWidget(create_info_label(QString::fromUtf8(rows[i].text), rows[i].tip), i + 1, 0);
    grid->addWidget(rows[i].min, i + 1, 1);
    grid->addWidget(rows[i].max, i + 1, 2);
  }
  grid->setRowStretch(6, 1);
  scroll->setWidget(inner);
  ranges_layout->addWidget(scroll);
  return ranges;
}

// The working copy of the picture: its canvas, the hand edits and the way through the folder.
QGroupBox* EnricherTab::build_simulator() {
  auto* right = new QGroupBox("Augmentation Live Simulation Engine");
  auto* right_layout = new QVBoxLayout(right);
  aug_canvas = new InteractiveCanvas(this);
  aug_canvas->setObjectName("aug_canvas");
  aug_preview_view = new ZoomableView;
  aug_preview_view->setObjectName("aug_preview_view");
  aug_preview_view->setScene(aug_canvas);
  right_layout->addWidget(aug_preview_view, 1);
  auto* mode_row = new QHBoxLayout;
  mode_row->addWidget(new QLabel("Interactive Canvas Mode:"));
  aug_combo_mode = new QComboBox;
  aug_combo_mode->setObjectName("aug_combo_mode");
  aug_combo_mode->addItems({"Select/Move", "Crop", "Warp"});
  mode_row->addWidget(aug_combo_mode, 1);
  right_layout->addLayout(mode_row);
  auto* rotate_row = new QHBoxLayout;
  auto* cw = new QPushButton("90° CW");
  cw->setObjectName("btn_aug_cw");
  auto* ccw = new QPushButton("90° CCW");
  ccw->setObjectName("btn_aug_ccw");
  aug_entry_angle = new QLineEdit;
  aug_entry_angle->setObjectName("aug_entry_angle");
  aug_entry_angle->setPlaceholderText("Angle (°)");
  aug_entry_angle->setFixedWidth(70);
  auto* rotate = new QPushButton("Rotate");
  rotate->setObjectName("btn_aug_rotate");
  auto* reset = new QPushButton("🔄 Reset Source Image");
  reset->setObjectName("btn_aug_reset");
  for (QWidget* w : std::initializer_list<QWidget*>{cw, ccw, aug_entry_angle, rotate, reset}) rotate_row->addWidget(w);
  right_layout->addLayout(rotate_row);
  auto* simulate = new QPushButton("🎨 Simulate Augmentation Frame");
  simulate->setObjectName("primaryBtn");
  right_layout->addWidget(simulate);
  auto* nav = new QHBoxLayout;
  auto* prev = new QPushButton("◄ Previous Image");
  prev->setObjectName("btn_aug_prev");
  aug_lbl_counter = new QLabel("0 / 0");
  aug_lbl_counter->setObjectName("aug_lbl_counter");
  aug_lbl_counter->setAlignment(Qt::AlignCenter);
  auto* next = new QPushButton("Next Image ►");
  next->setObjectName("btn_aug_next");
  nav->addWidget(prev);
  nav->addWidget(aug_lbl_counter, 1);
  nav->addWidget(next);
  right_layout->addLayout(nav);

  connect(aug_canvas, &InteractiveCanvas::point_clicked, this, &EnricherTab::handle_aug_canvas_point);
  connect(aug_combo_mode, &QComboBox::currentTextChanged, this, &EnricherTab::change_aug_active_mode);
  connect(cw, &QPushButton::clicked, this, [this] { aug_rotate_fixed(-90); });
  connect(ccw, &QPushButton::clicked, this, [this] { aug_rotate_fixed(90); });
  connect(rotate, &QPushButton::clicked, this, [this] { aug_rotate_custom(); });
  connect(reset, &QPushButton::clicked, this, [this] { aug_reset_image(); });
  connect(simulate, &QPushButton::clicked, this, [this] { run_aug_preview(); });
  connect(prev, &QPushButton::clicked, this, [this] { aug_prev_image(); });
  connect(next, &QPushButton::clicked, this, [this] { aug_next_image(); });
  return right;
}

// ---------------------------------------------------------------- folders and navigation

void EnricherTab::aug_load_input() {
  const QString folder = prompts().get_existing_directory(this, "Select Input Directory");
  if (folder.isEmpty()) return;
  aug_open_folder(folder);
}

void EnricherTab::aug_open_folder(const QString& folder) {
  aug_entry_in->setText(folder);
  QSet<QString> unique;
  for (const QString& name : QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
    const int dot = name.lastIndexOf('.');
    if (dot >= 0 && is_image_name(name))
      unique.insert(QDir::toNativeSeparators(QDir::cleanPath(QDir(folder).filePath(name))));
  }
  aug_image_paths = QStringList(unique.cbegin(), unique.cend());
  std::sort(aug_image_paths.begin(), aug_image_paths.end());
  aug_current_idx = 0;
  const bool labelled = any_label_file(aug_image_paths);
  chk_aug_write_labels->setEnabled(labelled);
  chk_aug_write_labels->setChecked(labelled);
  aug_update_status();
  if (!aug_image_paths.isEmpty()) aug_load_current_image();
}

void EnricherTab::aug_load_output() {
  const QString folder = prompts().get_existing_directory(this, "Select Output Directory");
  if (!folder.isEmpty()) aug_entry_out->setText(folder);
}

void EnricherTab::aug_update_status() {
  aug_lbl_status->setText(
      QStringLiteral("Total Images: %1 | Enriched: %2").arg(aug_image_paths.size()).arg(aug_history.size()));
}

void EnricherTab::aug_load_current_image() {
  const int i = index();
  if (aug_image_paths.isEmpty() || i < 0 || i >= aug_image_paths.size()) return;
  // Decoded beside the window; a picture stepped past meanwhile is not shown.
  const int request = ++picture_request_;
  const QString path = aug_image_paths[i];
  run_behind_tab(
      this, std::make_shared<WorkControl>(), [path] { return read_bgr(path); },
      [this, request, i, path](const cv::Mat& pixels) {
        if (request == picture_request_) show_picture(i, path, pixels);
      });
}

void EnricherTab::show_picture(int i, const QString& path, const cv::Mat& pixels) {
  if (pixels.empty()) return;
  aug_loaded_path = path;  // the picture the working copy is made from
  load_labels_of(aug_loaded_path, pixels);
  aug_original_cv_img = pixels.clone();
  aug_display_cv_img = pixels.clone();
  aug_active_base_img = pixels.clone();
  aug_crop_points.clear();
  aug_warp_points.clear();
  aug_lbl_counter->setText(
      QStringLiteral("%1 / %2 - %3").arg(i + 1).arg(aug_image_paths.size()).arg(QFileInfo(path).fileName()));
  render_aug_canvas(true);
}

void EnricherTab::load_labels_of(const QString& path, const cv::Mat& pixels) {
  const Expected<SourceLabels> read = read_source_labels(path, QSize(pixels.cols, pixels.rows));
  // A file that cannot be read counts as one line not carried.
  const SourceLabels labels = read ? *read : SourceLabels{};
  aug_labels_found = read && labels.found;
  aug_unreadable_lines = read ? labels.unreadable : 1;
  aug_source_labels.shapes = labels.shapes;
  aug_source_labels.source_empty = aug_labels_found && labels.shapes.isEmpty() && labels.unreadable == 0;
  aug_base_labels = labels.shapes;
  aug_display_labels = labels.shapes;
}

void EnricherTab::aug_next_image() {
  if (aug_image_paths.isEmpty()) return;
  aug_current_idx = (index() + 1) % aug_image_paths.size();
  aug_load_current_image();
}

void EnricherTab::aug_prev_image() {
  if (aug_image_paths.isEmpty()) return;
  aug_current_idx = (index() - 1 + aug_image_paths.size()) % aug_image_paths.size();
  aug_load_current_image();
}

void EnricherTab::render_aug_canvas(bool reset_zoom) {
  if (!aug_display_cv_img) return;
  const QTransform kept = aug_preview_view->transform();
  {
    const QSignalBlocker block(aug_canvas);
    aug_canvas->reset_drawing();
    aug_canvas->clear();
    aug_canvas->addPixmap(pixmap_from_bgr(*aug_display_cv_img));
    aug_canvas->setSceneRect(0, 0, aug_display_cv_img->cols, aug_display_cv_img->rows);
    // The labels as they would be written: outlined, not editable.
    for (const LabelShape& shape : aug_display_labels) {
      const QColor colour = class_colour(shape.class_id);
      QPen pen(colour, 2);
      pen.setCosmetic(true);
      QGraphicsPolygonItem* outline = aug_canvas->addPolygon(shape.points, pen);
      outline->setAcceptedMouseButtons(Qt::NoButton);
    }
  }
  if (reset_zoom)
    aug_preview_view->fit_scene();
  else
    aug_preview_view->setTransform(kept);
}

// ---------------------------------------------------------------- manual transforms

void EnricherTab::change_aug_active_mode(const QString& mode) {
  aug_canvas->set_draw_mode(mode);
  aug_preview_view->set_interaction_mode(mode);
  aug_crop_points.clear();
  aug_warp_points.clear();
}

void EnricherTab::set_working_image(const cv::Mat& image, const QTransform& geometry) {
  aug_display_cv_img = image;
  aug_active_base_img = image.clone();
  // The labels follow the pixels; what falls outside is clipped off (kept in pixels, unscaled).
  aug_display_labels = carry_shapes(aug_display_labels, geometry, QSize(image.cols, image.rows)).shapes;
  aug_base_labels = aug_display_labels;
}

void EnricherTab::handle_aug_canvas_point(const QPointF& pt) {
  const QString mode = aug_combo_mode->currentText();
  if (mode == QLatin1String("Crop")) {
    aug_crop_points.append(pt);
    if (aug_crop_points.size() < 2) return;
    if (aug_display_cv_img)
      if (QTransform geometry;
          const auto cropped = crop_between(*aug_display_cv_img, aug_crop_points[0], aug_crop_points[1], &geometry))
        set_working_image(*cropped, geometry);
    aug_crop_points.clear();
    aug_combo_mode->setCurrentText("Select/Move");
    render_aug_canvas();
  } else if (mode == QLatin1String("Warp")) {
    aug_warp_points.append(pt);
    if (aug_warp_points.size() < 4) return;
    if (aug_display_cv_img) {
      std::array<cv::Point2f, 4> corners;
      for (int i = 0; i < 4; ++i)
        corners[i] = cv::Point2f(float(aug_warp_points[i].x()), float(aug_warp_points[i].y()));
      // A quadrilateral that straightens to less than 2 pixels either way is refused.
      if (QTransform geometry; const auto warped = warp_quad(*aug_display_cv_img, corners, &geometry))
        set_working_image(*warped, geometry);
    }
    aug_warp_points.clear();
    aug_combo_mode->setCurrentText("Select/Move");
    render_aug_canvas();
  }
}

void EnricherTab::aug_rotate_fixed(double angle) {
  if (!aug_display_cv_img) return;
  QTransform geometry;
  const cv::Mat turned = rotate_bound(*aug_display_cv_img, angle, &geometry);
  set_working_image(turned, geometry);
  render_aug_canvas();
}

void EnricherTab::aug_rotate_custom() {
  bool ok = false;
  const double angle = aug_entry_angle->text().trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(angle)) {
    prompts().critical(this, "Error", "Enter a valid numeric angle.");
    return;
  }
  aug_rotate_fixed(angle);
}

void EnricherTab::aug_reset_image() {
  if (!aug_original_cv_img) return;
  aug_display_cv_img = aug_original_cv_img->clone();
  aug_active_base_img = aug_original_cv_img->clone();
  aug_base_labels = aug_source_labels.shapes;
  aug_display_labels = aug_base_labels;
  aug_crop_points.clear();
  aug_warp_points.clear();
  render_aug_canvas();
}

// ---------------------------------------------------------------- augmentation

AugmentRanges EnricherTab::current_ranges() const {
  return {aug_b_min->value(), aug_b_max->value(), aug_c_min->value(), aug_c_max->value(), aug_r_min->value(),
          aug_r_max->value(), aug_l_min->value(), aug_l_max->value(), aug_w_min->value(), aug_w_max->value()};
}

std::optional<cv::Mat> EnricherTab::get_aug_image(const std::optional<cv::Mat>& img) {
  const std::optional<cv::Mat>& source = img ? img : aug_display_cv_img;
  if (!source) return std::nullopt;
  std::mt19937_64 rng = make_generator();
  QTransform geometry;
  const cv::Mat variant = augment(*source, current_ranges(), rng, &geometry);
  // The preview of the working copy shows where its labels would go.
  if (!img || (aug_active_base_img && img->data == aug_active_base_img->data))
    aug_display_labels =
        carry_shapes(img ? aug_base_labels : aug_display_labels, geometry, QSize(variant.cols, variant.rows)).shapes;
  return variant;
}

void EnricherTab::run_aug_preview() {
  if (!aug_active_base_img) {
    if (aug_image_paths.isEmpty()) {
      prompts().information(this, "Preview", "Load an input dataset folder first.");
      return;
    }
    const cv::Mat first = read_bgr(aug_image_paths.first());
    if (first.empty()) return;
    aug_loaded_path = aug_image_paths.first();
    load_labels_of(aug_loaded_path, first);
    aug_original_cv_img = first.clone();
    aug_active_base_img = first.clone();
  }
  aug_display_cv_img = get_aug_image(aug_active_base_img);
  render_aug_canvas();
}

void EnricherTab::enrich_current_image() {
  const QString out = aug_entry_out->text().trimmed();
  if (!aug_active_base_img) {
    prompts().warning(this, "Error", "No image is currently loaded on the canvas.");
    return;
  }
  if (out.isEmpty()) {
    prompts().warning(this, "Error", "Select a valid output directory first.");
    return;
  }
  if (!QDir().mkpath(out)) {
    prompts().warning(this, "Error", "The output folder " + QDir::toNativeSeparators(out) + " cannot be created.");
    return;
  }
  const int n = spin_aug_gen_count->value();
  const cv::Mat base = aug_active_base_img->clone();
  const AugmentRanges ranges = current_ranges();
  const qint64 stamp = QDateTime::currentSecsSinceEpoch();
  // Variants are credited to the picture they were made from, which is not the one the index
  // names after a step onto an unreadable file.
  const QString source = aug_loaded_path;
  // The working copy's labels go with every variant when asked for and the source has some.
  std::shared_ptr<const VariantLabels> labels;
  if (chk_aug_write_labels->isEnabled() && chk_aug_write_labels->isChecked() && aug_labels_found) {
    auto carried = std::make_shared<VariantLabels>();
    carried->shapes = aug_base_labels;
    carried->source_empty = aug_source_labels.source_empty;
    labels = carried;
  }
  const int unreadable_lines = labels ? aug_unreadable_lines : 0;
  // Every name is planned before writing: it names its source, and a name already in the folder
  // (an earlier batch of the same second) gets a counter, so nothing is overwritten.
  const QStringList names = plan_variant_names(source, stamp, n, out);
  auto saved = std::make_shared<std::atomic<int>>(0);
  auto labelled = std::make_shared<std::atomic<int>>(0);
  auto failed = std::make_shared<QStringList>();
  auto mutex = std::make_shared<std::mutex>();
  run_batch_beside_window(
      this, "Writing variants...", n,
      [=](int i, const WorkControl&) {
        const QString& name = names[i];
        const Expected<VariantWritten> written =
            write_labelled_variant(base, ranges, QDir(out).filePath(name), labels.get());
        if (written) {
          ++*saved;
          if (written->labelled) ++*labelled;
        }
        const QString problem = written ? written->labels.error() : written.error();
        if (!problem.isEmpty()) {
          const std::lock_guard<std::mutex> lock(*mutex);
          *failed << problem;
        }
      },
      [this, saved, failed, source, labelled, labels, unreadable_lines, out](const WorkControl& control) {
        if (*saved > 0 && !source.isEmpty()) aug_history.insert(source);
        if (*labelled > 0)
          write_class_names(QFileInfo(source).absolutePath(), {QDir(out).absolutePath()}, failed.get());
        aug_update_status();
        failed->sort();
        QString text =
            QStringLiteral("Enrichment complete! Saved %1 variant(s) of the manipulated image.").arg(saved->load());
        if (!source.isEmpty()) text += QStringLiteral("\nSource: %1").arg(QFileInfo(source).fileName());
        if (labels) text += QStringLiteral("\n%1 variant(s) got label files.").arg(labelled->load());
        if (unreadable_lines > 0)
          text += QStringLiteral("\n%1 line(s) of the source's label file could not be read and were not carried.")
                      .arg(unreadable_lines);
        if (control.cancel.load()) text += QStringLiteral("\nCancelled before every variant was written.");
        if (!failed->isEmpty())
          text += QStringLiteral("\nCould not write: ") + failed->mid(0, 5).join(", ") +
                  (failed->size() > 5 ? ", ..." : "");
        text += QStringLiteral("\nOutput folder: %1").arg(QDir::toNativeSeparators(out));
        prompts().information(this, "Success", text);
      });
}

}  // namespace quorlan

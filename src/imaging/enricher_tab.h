#pragma once
#include <QSet>
#include <QStringList>
#include <QWidget>
#include <opencv2/core.hpp>
#include <optional>

#include "imaging/augment.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace quorlan {

class InteractiveCanvas;
class ZoomableView;

// "Synthetic Data Enricher": crop, warp and rotate an image by hand on the canvas, preview
// random augmentations and write augmented variants.
class EnricherTab : public QWidget {
  Q_OBJECT
 public:
  explicit EnricherTab(QWidget* parent = nullptr);
  void setup_aug_tab();

  void aug_load_input();
  void aug_load_output();
  void aug_open_folder(const QString& folder);
  void aug_update_status();
  void aug_load_current_image();
  void aug_prev_image();
  void aug_next_image();
  void render_aug_canvas(bool reset_zoom = false);

  void change_aug_active_mode(const QString& mode);
  void handle_aug_canvas_point(const QPointF& pt);
  void aug_rotate_fixed(double angle);
  void aug_rotate_custom();
  void aug_reset_image();
  std::optional<cv::Mat> get_aug_image(const std::optional<cv::Mat>& img = std::nullopt);
  void run_aug_preview();
  void enrich_current_image();

  AugmentRanges current_ranges() const;

  QStringList aug_image_paths;
  QString aug_loaded_path;  // the file the working copy was read from
  std::optional<int> aug_current_idx;
  std::optional<cv::Mat> aug_original_cv_img;
  std::optional<cv::Mat> aug_active_base_img;
  std::optional<cv::Mat> aug_display_cv_img;
  QVector<QPointF> aug_crop_points;
  QVector<QPointF> aug_warp_points;
  QSet<QString> aug_history;  // source images for which variants were written
  // The labels of the picture loaded (in its pixels), of the working copy and of what the canvas
  // shows; the working copy's follow every crop, warp and rotation.
  VariantLabels aug_source_labels;
  QVector<LabelShape> aug_base_labels;
  QVector<LabelShape> aug_display_labels;
  bool aug_labels_found = false;  // the loaded picture has a label file
  int aug_unreadable_lines = 0;   // its lines that could not be read

 private:
  // The widgets (each found by its object name, which is its member name).
  InteractiveCanvas* aug_canvas = nullptr;
  ZoomableView* aug_preview_view = nullptr;
  QLineEdit* aug_entry_in = nullptr;
  QLineEdit* aug_entry_out = nullptr;
  QLabel* aug_lbl_status = nullptr;
  QDoubleSpinBox* aug_b_min = nullptr;
  QDoubleSpinBox* aug_b_max = nullptr;
  QDoubleSpinBox* aug_c_min = nullptr;
  QDoubleSpinBox* aug_c_max = nullptr;
  QDoubleSpinBox* aug_r_min = nullptr;
  QDoubleSpinBox* aug_r_max = nullptr;
  QDoubleSpinBox* aug_l_min = nullptr;
  QDoubleSpinBox* aug_l_max = nullptr;
  QDoubleSpinBox* aug_w_min = nullptr;
  QDoubleSpinBox* aug_w_max = nullptr;
  QSpinBox* spin_aug_gen_count = nullptr;
  QComboBox* aug_combo_mode = nullptr;
  QLineEdit* aug_entry_angle = nullptr;
  QLabel* aug_lbl_counter = nullptr;
  QCheckBox* chk_aug_write_labels = nullptr;
  QGroupBox* build_ranges();
  QGroupBox* build_simulator();
  int index() const { return aug_current_idx.value_or(0); }
  void set_working_image(const cv::Mat& image, const QTransform& geometry);
  void load_labels_of(const QString& path, const cv::Mat& pixels);
  // Picture `i` (at `path`), decoded, becomes the working copy.
  void show_picture(int i, const QString& path, const cv::Mat& pixels);
  int picture_request_ = 0;  // the picture last asked for
};

}  // namespace quorlan

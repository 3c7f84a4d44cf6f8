#pragma once
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <optional>

#include "predict/predicting_model.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace quorlan {

class ExportThread;
class ZoomableView;

// "Inference & Model Export": trained weights over a folder of new images, one page at a time,
// and the conversion of the weights to deployment formats.
class InferenceTab : public QWidget {
  Q_OBJECT
 public:
  explicit InferenceTab(QWidget* parent = nullptr);
  ~InferenceTab() override;
  void setup_inference_tab();

  void init_inference();
  // Predicts and shows the current image beside the window; on an engine error the previous view,
  // counter and page stay.
  void update_inference_display();
  void inf_next_image();
  void inf_prev_image();
  void run_model_export();
  // Ends an export in progress at once (the window is closing).
  void abort_export();

  std::shared_ptr<PredictingModel> inf_model;
  QStringList inf_image_paths;
  int inf_current_idx = 0;
  QPointer<ExportThread> export_thread;
  bool export_active() const { return export_active_; }

 private:
  // The widgets (each found by its object name, which is its member name).
  QLineEdit* entry_inf_weights = nullptr;
  QLineEdit* entry_inf_folder = nullptr;
  QDoubleSpinBox* spin_inf_conf = nullptr;
  QSpinBox* spin_inf_imgsz = nullptr;
  ZoomableView* inf_view = nullptr;
  QLabel* lbl_inf_counter = nullptr;
  QLabel* lbl_inf_runtime = nullptr;  // which runtime answers the loaded model
  QPushButton* btn_inf_prev = nullptr;
  QPushButton* btn_inf_next = nullptr;
  QLineEdit* entry_export_dir = nullptr;
  QComboBox* combo_export_format = nullptr;
  void load_for_inference(const QString& weights, const QString& folder);
  void show_page(int index);
  void show_prediction(int index, const QString& path, const Expected<Prediction>& result);

  bool predicting_ = false;
  std::optional<int> wanted_page_;  // asked for while another page was being predicted
  bool export_active_ = false;      // from a start until the export's one final signal
};

// The images of `folder` (not its subfolders) by extension, normalised and sorted.
QStringList list_inference_images(const QString& folder);

}  // namespace quorlan

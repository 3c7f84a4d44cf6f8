#pragma once
#include <QVariantMap>
#include <QWidget>

class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;

namespace quorlan {

// "YOLO Configuration & AutoML": every setting of a training run. Its two buttons only ask;
// the window reads the controls when they are clicked.
class ConfigTab : public QWidget {
  Q_OBJECT
 public:
  explicit ConfigTab(QWidget* parent = nullptr);
  void setup_config_tab();
  void browse_data_yaml();

  // The 13 training parameters, with the manifest path and device given.
  QVariantMap training_params(const QString& data_yaml, const QString& device) const;
  // The device chosen in the Device box: "auto" (decided when the run starts), "cpu", "cuda:N",
  // or the engine's list form "0,1,..." for all GPUs.
  QString selected_device() const;
  // Offers `count` CUDA devices (and "All GPUs" for more than one).
  void set_gpu_count(int count);
  // The six tuning parameters.
  QVariantMap tuning_params(const QString& data_yaml) const;
  // The manifest path as typed, trimmed.
  QString data_yaml() const;
  // The training image size, which the health check judges box sizes at.
  int image_size() const;
  // Puts the hyperparameters a tuning run found (lr0, lrf; others are ignored) into the fields.
  void apply_tuned(const QVariantMap& best);

 signals:
  void start_training_signal();
  void start_tuning_signal();

 private:
  // The widgets (each found by its object name, which is its member name).
  QComboBox* model_combo = nullptr;
  QComboBox* device_combo = nullptr;
  QLineEdit* data_yaml_input = nullptr;
  QLineEdit* project_dir_input = nullptr;
  QLineEdit* run_name_input = nullptr;
  QSpinBox* epochs_input = nullptr;
  QSpinBox* imgsz_input = nullptr;
  QSpinBox* batch_input = nullptr;
  QSpinBox* workers_input = nullptr;
  QComboBox* optimizer_combo = nullptr;
  QDoubleSpinBox* lr0_input = nullptr;
  QDoubleSpinBox* lrf_input = nullptr;
  QSpinBox* close_mosaic_input = nullptr;
};

}  // namespace quorlan

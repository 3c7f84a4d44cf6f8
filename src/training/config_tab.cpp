#include "training/config_tab.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "engine_client/engine_host.h"
#include "engine_client/run_settings.h"
#include "shell/theme.h"
#include "training/training_math.h"
#include "widgets/prompts.h"

namespace quorlan {
namespace {

QSpinBox* int_box(const char* name, run_settings::IntSetting setting, int step) {
  auto* box = new QSpinBox;
  box->setObjectName(name);
  box->setRange(setting.min, setting.max);
  box->setSingleStep(step);
  box->setValue(setting.value);
  return box;
}

QLineEdit* line(const char* name, const QString& text) {
  auto* edit = new QLineEdit(text);
  edit->setObjectName(name);
  return edit;
}

}  // namespace

ConfigTab::ConfigTab(QWidget* parent) : QWidget(parent) { setup_config_tab(); }

void ConfigTab::setup_config_tab() {
  auto* layout = new QVBoxLayout(this);

  auto* model_box = new QGroupBox("Model Backbone && Dataset Mapping");
  auto* grid = new QGridLayout(model_box);
  model_combo = new QComboBox;
  model_combo->setObjectName("model_combo");
  model_combo->setEditable(true);
  model_combo->addItems({run_settings::kModel, "yolov8n.pt", "yolov8m.pt", "yolov8l.pt", "yolov8x.pt", "yolov8s-seg.pt",
                         "yolov8n-seg.pt", "yolov8m-seg.pt", "yolov8l-seg.pt", "yolov8x-seg.pt"});
  data_yaml_input = line("data_yaml_input", "data.yaml");
  project_dir_input = line("project_dir_input", run_settings::kProject);
  run_name_input = line("run_name_input", run_settings::kName);
  auto* browse = new QPushButton("Browse...");
  browse->setObjectName("btn_browse_yaml");
  connect(browse, &QPushButton::clicked, this, [this] { browse_data_yaml(); });
  grid->addWidget(create_info_label("YOLO Model Architecture:", "Pretrained weights file"), 0, 0);
  grid->addWidget(model_combo, 0, 1, 1, 2);
  grid->addWidget(create_info_label("Data Manifest (.yaml):", "Dataset configuration path"), 1, 0);
  grid->addWidget(data_yaml_input, 1, 1);
  grid->addWidget(browse, 1, 2);
  grid->addWidget(create_info_label("Save Project Directory:", "Output folder"), 2, 0);
  grid->addWidget(project_dir_input, 2, 1, 1, 2);
  grid->addWidget(create_info_label("Run Identification Name:", "Experiment folder name"), 3, 0);
  grid->addWidget(run_name_input, 3, 1, 1, 2);
  device_combo = new QComboBox;
  device_combo->setObjectName("device_combo");
  device_combo->addItem("Auto", "auto");
  device_combo->addItem("CPU", "cpu");
  grid->addWidget(create_info_label("Device:", "Auto: the first GPU when there is one, else the CPU"), 4, 0);
  grid->addWidget(device_combo, 4, 1, 1, 2);
  layout->addWidget(model_box);
  // The engine's GPUs are asked in the background at start-up; they join the list when known.
  auto* gpu_poll = new QTimer(this);
  connect(gpu_poll, &QTimer::timeout, this, [this, gpu_poll] {
    const std::optional<int> count = engine_cuda_devices_if_known();
    if (!count) return;
    gpu_poll->stop();
    set_gpu_count(*count);
  });
  gpu_poll->start(300);

  auto* hyper_box = new QGroupBox("Training Hyperparameters");
  auto* hyper = new QGridLayout(hyper_box);
  epochs_input = int_box("epochs_input", run_settings::kEpochs, 1);
  imgsz_input = int_box("imgsz_input", run_settings::kImageSize, 32);
  batch_input = int_box("batch_input", run_settings::kBatch, 1);
  workers_input = int_box("workers_input", run_settings::kWorkers, 1);
  optimizer_combo = new QComboBox;
  optimizer_combo->setObjectName("optimizer_combo");
  optimizer_combo->addItems(run_settings::kOptimizers);
  lr0_input = new QDoubleSpinBox;
  lr0_input->setObjectName("lr0_input");
  lr0_input->setDecimals(5);
  lr0_input->setSingleStep(0.0001);
  lr0_input->setValue(run_settings::kLr0);
  lrf_input = new QDoubleSpinBox;
  lrf_input->setObjectName("lrf_input");
  lrf_input->setDecimals(5);
  lrf_input->setValue(run_settings::kLrf);
  close_mosaic_input = int_box("close_mosaic_input", run_settings::kCloseMosaic, 1);
  const struct {
    const char* text;
    const char* tip;
    QWidget* control;
  } cells[] = {
      {"Epochs:", "Passes", epochs_input},
      {"Image Size:", "Pixel size", imgsz_input},
      {"Batch Size:", "Batch size (-1 for auto)", batch_input},
      {"DataLoader Workers:", "Worker threads", workers_input},
      {"Optimizer:", "Optimization strategy", optimizer_combo},
      {"Initial LR:", "Starting learning rate", lr0_input},
      {"Final LR Ratio:", "Final learning rate factor", lrf_input},
      {"Close Mosaic Epochs:", "Disable mosaic at end", close_mosaic_input},
  };
  // Each value reads with its own label: an empty column of 32 px before the second column's labels.
  for (int i = 0; i < 8; ++i) {
    hyper->addWidget(create_info_label(cells[i].text, cells[i].tip), i / 2, (i % 2) * 3);
    hyper->addWidget(cells[i].control, i / 2, (i % 2) * 3 + 1);
  }
  hyper->setHorizontalSpacing(10);
  hyper->setColumnMinimumWidth(2, 32);
  hyper->setColumnStretch(1, 1);
  hyper->setColumnStretch(4, 1);
  layout->addWidget(hyper_box);
  layout->addStretch();

  auto* buttons = new QHBoxLayout;
  auto* tune = new QPushButton("🧬 AutoML Hyperparameter Genetic Search");
  tune->setObjectName("btn_automl");
  auto* train = new QPushButton("🚀 START MODEL TRAINING");
  train->setObjectName("primaryBtn");
  connect(tune, &QPushButton::clicked, this, [this] { emit start_tuning_signal(); });
  connect(train, &QPushButton::clicked, this, [this] { emit start_training_signal(); });
  buttons->addWidget(tune);
  buttons->addWidget(train);
  layout->addLayout(buttons);
}

void ConfigTab::browse_data_yaml() {
  const QString chosen = prompts().get_open_file_name(this, "Select Data YAML", QString(), "YAML (*.yaml *.yml)");
  data_yaml_input->setText(chosen.isEmpty() ? data_yaml_input->text() : chosen);
}

void ConfigTab::set_gpu_count(int count) {
  while (device_combo->count() > 2) device_combo->removeItem(2);
  QStringList all;
  for (int i = 0; i < count; ++i) {
    device_combo->addItem(QStringLiteral("cuda:%1").arg(i), QStringLiteral("cuda:%1").arg(i));
    all << QString::number(i);
  }
  // Several GPUs train together in the engine's multi-GPU mode, given as its device list.
  if (count > 1) device_combo->addItem("All GPUs", all.join(','));
}

QString ConfigTab::selected_device() const { return device_combo->currentData().toString(); }

QVariantMap ConfigTab::training_params(const QString& data_yaml, const QString& device) const {
  return {
      {"model_path", model_combo->currentText().trimmed()},
      {"data_yaml", data_yaml},
      // The engine re-roots a relative project under its own runs folder; the studio's working
      // folder is what the user means.
      {"project", run_settings::absolute_project_path(project_dir_input->text().trimmed())},
      {"name", run_name_input->text().trimmed()},
      {"epochs", epochs_input->value()},
      {"imgsz", imgsz_input->value()},
      {"batch", batch_input->value()},
      {"workers", workers_input->value()},
      {"optimizer", optimizer_combo->currentText()},
      {"lr0", lr0_input->value()},
      {"lrf", lrf_input->value()},
      {"close_mosaic", close_mosaic_input->value()},
      {"device", device},
  };
}

QVariantMap ConfigTab::tuning_params(const QString& data_yaml) const {
  return {
      {"model_path", model_combo->currentText().trimmed()},
      {"data_yaml", data_yaml},
      {"project", run_settings::absolute_project_path(project_dir_input->text().trimmed())},
      {"name", run_name_input->text().trimmed() + "_tune"},
      {"epochs", epochs_input->value()},
      {"optimizer", optimizer_combo->currentText()},
  };
}

QString ConfigTab::data_yaml() const { return data_yaml_input->text().trimmed(); }

int ConfigTab::image_size() const { return imgsz_input->value(); }

void ConfigTab::apply_tuned(const QVariantMap& best) {
  if (best.contains("lr0")) lr0_input->setValue(best.value("lr0").toDouble());
  if (best.contains("lrf")) lrf_input->setValue(best.value("lrf").toDouble());
}

}  // namespace quorlan

#include "inference/inference_tab.h"

#include "core/image_files.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "inference/export_thread.h"
#include "predict/model_loading.h"
#include "shell/theme.h"
#include "widgets/background_work.h"
#include "widgets/browse_button.h"
#include "widgets/prompts.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

QStringList list_inference_images(const QString& folder) {
  QStringList paths;
  for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Unsorted)) {
    if (is_image_name(name)) paths << QDir::cleanPath(QDir(folder).filePath(name));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

InferenceTab::InferenceTab(QWidget* parent) : QWidget(parent) { setup_inference_tab(); }

InferenceTab::~InferenceTab() { abort_export(); }

void InferenceTab::abort_export() {
  if (!export_thread) return;
  export_thread->abort();  // its host ends now; its work ends on its own, nobody waits for it
  export_active_ = false;
}

void InferenceTab::setup_inference_tab() {
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;

  auto* engine_box = new QGroupBox("Inference Engine Parameters");
  auto* grid = new QGridLayout(engine_box);
  entry_inf_weights = new QLineEdit("runs/detect/tavrin_yolo_run/weights/best.pt");
  entry_inf_weights->setObjectName("entry_inf_weights");
  entry_inf_folder = new QLineEdit;
  entry_inf_folder->setObjectName("entry_inf_folder");
  entry_inf_folder->setPlaceholderText("Select directory containing images to predict...");
  spin_inf_conf = new QDoubleSpinBox;
  spin_inf_conf->setObjectName("spin_inf_conf");
  spin_inf_conf->setRange(0.01, 1.0);
  spin_inf_conf->setSingleStep(0.05);
  spin_inf_conf->setValue(0.25);
  spin_inf_imgsz = new QSpinBox;
  spin_inf_imgsz->setObjectName("spin_inf_imgsz");
  spin_inf_imgsz->setRange(32, 4096);
  spin_inf_imgsz->setSingleStep(32);
  spin_inf_imgsz->setValue(640);
  auto* weights_browse = browse_button(this, entry_inf_weights, [this] {
    return prompts().get_open_file_name(this, "Select Weights", QString(), kModelFileFilter);
  });
  weights_browse->setObjectName("btn_browse_weights");
  auto* folder_browse = browse_button(this, entry_inf_folder,
                                      [this] { return prompts().get_existing_directory(this, "Select Test Folder"); });
  folder_browse->setObjectName("btn_browse_folder");
  auto* run = new QPushButton("⚡ LOAD MODEL && INFER QUEUE");
  run->setObjectName("primaryBtn");
  grid->addWidget(create_info_label("Model Weights (.pt):",
                                    "Path to best.pt, or to a model exported from it (.onnx, or OpenVINO .xml), "
                                    "which runs without the engine"),
                  0, 0);
  grid->addWidget(entry_inf_weights, 0, 1);
  grid->addWidget(weights_browse, 0, 2);
  grid->addWidget(create_info_label("Inference Directory:", "Test image directory"), 1, 0);
  grid->addWidget(entry_inf_folder, 1, 1);
  grid->addWidget(folder_browse, 1, 2);
  grid->addWidget(create_info_label("Conf Threshold:", "Minimum prediction score"), 2, 0);
  grid->addWidget(spin_inf_conf, 2, 1);
  grid->addWidget(create_info_label("Inference Res:", "Image resolution"), 3, 0);
  grid->addWidget(spin_inf_imgsz, 3, 1);
  grid->addWidget(run, 4, 0, 1, 3);
  lbl_inf_runtime = new QLabel;
  lbl_inf_runtime->setObjectName("lbl_inf_runtime");
  lbl_inf_runtime->setToolTip(
      "The runtime that answers: the engine for .pt weights, the studio's own for exported "
      "models");
  grid->addWidget(lbl_inf_runtime, 5, 0, 1, 3);

  auto* export_box = new QGroupBox("One-Click Production Export");
  auto* form = new QFormLayout(export_box);
  entry_export_dir = new QLineEdit("exports");
  entry_export_dir->setObjectName("entry_export_dir");
  auto* dir_row = new QHBoxLayout;
  dir_row->addWidget(entry_export_dir);
  auto* export_browse = browse_button(
      this, entry_export_dir, [this] { return prompts().get_existing_directory(this, "Select Export Directory"); });
  export_browse->setObjectName("btn_browse_export");
  dir_row->addWidget(export_browse);
  form->addRow("Export Target Dir:", dir_row);
  combo_export_format = new QComboBox;
  combo_export_format->setObjectName("combo_export_format");
  combo_export_format->addItems({"onnx", "engine", "openvino", "torchscript", "coreml"});
  form->addRow("Format Engine:", combo_export_format);
  auto* export_button = new QPushButton("🚀 EXPORT MODEL BACKBONE");
  export_button->setObjectName("primaryBtn");
  form->addRow(export_button);

  top->addWidget(engine_box, 2);
  top->addWidget(export_box, 1);
  layout->addLayout(top);
  inf_view = new ZoomableView;
  inf_view->setObjectName("inf_view");
  layout->addWidget(inf_view, 1);
  auto* nav = new QHBoxLayout;
  btn_inf_prev = new QPushButton("◄ Previous Image");
  btn_inf_prev->setObjectName("btn_inf_prev");
  lbl_inf_counter = new QLabel("0 / 0");
  lbl_inf_counter->setObjectName("lbl_inf_counter");
  lbl_inf_counter->setAlignment(Qt::AlignCenter);
  btn_inf_next = new QPushButton("Next Image ►");
  btn_inf_next->setObjectName("btn_inf_next");
  nav->addWidget(btn_inf_prev);
  nav->addWidget(lbl_inf_counter, 1);
  nav->addWidget(btn_inf_next);
  layout->addLayout(nav);

  connect(run, &QPushButton::clicked, this, [this] { init_inference(); });
  connect(spin_inf_conf, &QDoubleSpinBox::valueChanged, this, [this] { update_inference_display(); });
  connect(spin_inf_imgsz, &QSpinBox::valueChanged, this, [this] { update_inference_display(); });
  connect(btn_inf_prev, &QPushButton::clicked, this, [this] { inf_prev_image(); });
  connect(btn_inf_next, &QPushButton::clicked, this, [this] { inf_next_image(); });
  connect(export_button, &QPushButton::clicked, this, [this] { run_model_export(); });
}

void InferenceTab::init_inference() {
  const QString weights = entry_inf_weights->text().trimmed();
  const QString folder = entry_inf_folder->text().trimmed();
  // Exported models run natively; only the engine's own weights need the engine.
  if (runtime_for(weights) == ModelRuntime::Engine)
    with_engine(this, [this, weights, folder] { load_for_inference(weights, folder); });
  else
    load_for_inference(weights, folder);
}

void InferenceTab::load_for_inference(const QString& weights, const QString& folder) {
  if (!QFileInfo::exists(weights) || !QFileInfo::exists(folder)) {
    prompts().critical(this, "Error", "Ensure weights and inference folder paths are valid.");
    return;
  }
  load_model_beside_window(this, QFileInfo(weights).absoluteFilePath(), "inf",
                           [this, folder](std::shared_ptr<PredictingModel> model) {
                             inf_model = std::move(model);
                             lbl_inf_runtime->setText("Runs on: " + inf_model->runtime());
                             inf_image_paths = list_inference_images(folder);
                             if (inf_image_paths.isEmpty()) return;
                             inf_current_idx = 0;
                             update_inference_display();
                           });
}

void InferenceTab::update_inference_display() { show_page(inf_current_idx); }

void InferenceTab::show_page(int index) {
  if (!inf_model || inf_image_paths.isEmpty()) return;
  // One prediction at a time: a page asked for meanwhile is predicted when it has answered.
  if (predicting_) {
    wanted_page_ = index;
    return;
  }
  predicting_ = true;
  wanted_page_.reset();
  const QString path = inf_image_paths[index];
  const double conf = spin_inf_conf->value();
  const int imgsz = spin_inf_imgsz->value();
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, "Predicting...", control,
      [model = inf_model, path, conf, imgsz] { return model->predict(path, conf, imgsz, true); },
      [this, control, index, path](const Expected<Prediction>& result) {
        predicting_ = false;
        if (!control->cancel) show_prediction(index, path, result);
        if (const std::optional<int> next = std::exchange(wanted_page_, std::nullopt))
          show_page(std::min<int>(*next, static_cast<int>(inf_image_paths.size()) - 1));
      },
      [model = inf_model] { model->cancel(); });
}

void InferenceTab::show_prediction(int index, const QString& path, const Expected<Prediction>& result) {
  // A failure keeps the page, the counter and the view as they were.
  if (!result) {
    prompts().critical(this, "Inference Error", result.error());
    return;
  }
  inf_current_idx = index;
  lbl_inf_counter->setText(
      QStringLiteral("%1 / %2 - %3").arg(index + 1).arg(inf_image_paths.size()).arg(QFileInfo(path).fileName()) +
      (result->dropped > 0 ? QStringLiteral(" (%1 junk box(es) left out)").arg(result->dropped) : QString()));
  lbl_inf_counter->setToolTip(dropped_text(result->dropped));
  if (!result->plot.isNull()) inf_view->set_image(QPixmap::fromImage(result->plot));
}

void InferenceTab::inf_next_image() {
  if (inf_image_paths.isEmpty()) return;
  show_page((wanted_page_.value_or(inf_current_idx) + 1) % static_cast<int>(inf_image_paths.size()));
}

void InferenceTab::inf_prev_image() {
  if (inf_image_paths.isEmpty()) return;
  const int n = static_cast<int>(inf_image_paths.size());
  show_page(((wanted_page_.value_or(inf_current_idx) - 1) % n + n) % n);
}

void InferenceTab::run_model_export() {
  const QString weights = entry_inf_weights->text().trimmed();
  const QString folder = entry_export_dir->text().trimmed();
  const QString format = combo_export_format->currentText();
  if (!QFileInfo::exists(weights)) {
    prompts().critical(this, "Error", "Select a valid weights file first.");
    return;
  }
  if (export_active_) {
    prompts().warning(this, "Run Active", "A model export is already running. Let it finish before starting another.");
    return;
  }
  if (export_thread) export_thread->deleteLater();  // it has said its end
  auto* thread = new ExportThread(weights, format, folder, this);
  export_thread = thread;
  export_active_ = true;
  const auto over = [this] { export_active_ = false; };
  connect(thread, &ExportThread::finished_signal, this, over);
  connect(thread, &ExportThread::error_signal, this, over);
  connect(thread, &ExportThread::finished_signal, this, [this](const QString& path) {
    prompts().information(this, "Export Success", "Model exported to:\n" + path);
  });
  connect(thread, &ExportThread::error_signal, this,
          [this](const QString& text) { prompts().critical(this, "Export Error", text); });
  thread->start();
}

}  // namespace quorlan

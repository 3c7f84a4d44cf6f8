#include "annotate/annotator_tab.h"

#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include "annotate/auto_labelling.h"
#include "predict/model_loading.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"

namespace quorlan {

// ---------------------------------------------------------------- model-assisted labelling

void AnnotatorTab::load_ai_model() {
  const QString path = prompts().get_open_file_name(this, "Load YOLO AI Model", QString(), kModelFileFilter);
  if (path.isEmpty()) return;
  load_model_beside_window(this, path, "ai", [this, path](std::shared_ptr<PredictingModel> model) {
    use_model(std::move(model));
    prompts().information(this, "AI Model Loaded", "Loaded model: " + QFileInfo(path).fileName());
  });
}

void AnnotatorTab::use_model(std::shared_ptr<PredictingModel> model) {
  ai_model = std::move(model);
  btn_run_ai->setEnabled(ai_model != nullptr);
  lbl_ai_runtime->setVisible(ai_model != nullptr);
  if (ai_model) lbl_ai_runtime->setText(QFileInfo(ai_model->weights()).fileName() + " on " + ai_model->runtime());
}

void AnnotatorTab::run_ai_autolabel() {
  const QString source = shown_picture();
  if (!ai_model || source.isEmpty()) return;
  const double conf = spin_ai_conf->value();
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, "Predicting...", control,
      [model = ai_model, source, conf] { return model->predict(source, conf, 0, false); },
      [this, control, source, model = ai_model](const Expected<Prediction>& result) {
        // The picture asked about must still be the one shown.
        if (control->cancel || shown_picture() != source) return;
        add_predicted_shapes(*model, result);
      },
      [model = ai_model] { model->cancel(); });
}

void AnnotatorTab::add_predicted_shapes(const PredictingModel& model, const Expected<Prediction>& result) {
  if (!result) {
    prompts().critical(this, "AI Error", "An error occurred during auto-labeling:\n" + result.error());
    return;
  }
  const QString dropped = result->dropped > 0 ? "\n\n" + dropped_text(result->dropped) : QString();
  if (result->boxes.isEmpty()) {
    prompts().information(this, "AI Assist", "No objects detected at current confidence threshold." + dropped);
    return;
  }
  // The folder's kind decides what is written: in a box folder a mask becomes its bounding box.
  const LabelKind kind = kind_for_new_shape(result->masks ? "AI Polygon" : "AI Rectangle");
  const QVector<Annotation> found = predicted_shapes(
      *result, model.names(), [this](const QString& name) { return class_id_for(name, -1); }, kind);
  if (after_edit(document->add(QStringLiteral("Auto-Label"), found)))
    prompts().information(
        this, "AI Success",
        auto_label_summary(static_cast<int>(found.size()), result->masks && kind == LabelKind::Boxes, result->dropped));
}

}  // namespace quorlan

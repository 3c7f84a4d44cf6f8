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
#include "predict/model_loading.h"
#include "widgets/background_work.h"
#include "widgets/bgr_pixmap.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/prompts.h"
#include "widgets/shape_item.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

// ---------------------------------------------------------------- model-assisted labelling

void AnnotatorTab::load_ai_model() {
  const QString path = prompts().get_open_file_name(this, "Load YOLO AI Model", QString(), kModelFileFilter);
  if (path.isEmpty()) return;
  load_model_beside_window(this, path, "ai", [this, path](std::shared_ptr<PredictingModel> model) {
    ai_model = std::move(model);
    btn_run_ai->setEnabled(true);
    lbl_ai_runtime->setText(QFileInfo(path).fileName() + " on " + ai_model->runtime());
    lbl_ai_runtime->show();
    prompts().information(this, "AI Model Loaded", "Loaded model: " + QFileInfo(path).fileName());
  });
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
  // A model's class name with a line break would split classes.txt and shift every later id.
  const auto id_of = [&](int cls) {
    const QString name = clean_class_name(result->names.value(cls, model.names().value(cls, QString::number(cls))));
    return class_id_for(name.isEmpty() ? QString::number(cls) : name, -1);
  };
  // The folder's kind decides what is written: in a box folder a mask becomes its bounding box.
  const LabelKind kind = kind_for_new_shape(result->masks ? "AI Polygon" : "AI Rectangle");
  QVector<Annotation> found;
  if (result->masks) {
    const int n = std::min<int>(result->masks->size(), result->boxes.size());
    for (int i = 0; i < n; ++i)
      found << drawn_annotation(id_of(result->boxes[i].cls), kind, (*result->masks)[i], "AI Polygon");
  } else {
    for (const Detection& d : result->boxes) {
      found << drawn_annotation(id_of(d.cls), kind, d.corners(), "AI Rectangle");
    }
  }
  const bool added = after_edit(document->add(QStringLiteral("Auto-Label"), found));
  if (added)
    prompts().information(this, "AI Success",
                          QStringLiteral("Successfully auto-labeled %1 object(s).").arg(found.size()) +
                              (result->masks && kind == LabelKind::Boxes
                                   ? QStringLiteral("\n\nThis folder's labels are boxes: each mask was saved as its "
                                                    "bounding box.")
                                   : QString()) +
                              dropped);
}

}  // namespace quorlan

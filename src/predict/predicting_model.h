#pragma once
// "A model that predicts", whichever runtime runs it: the engine's Python host for its own .pt
// weights, or the studio's native runtime for an exported model (.onnx, OpenVINO IR). Auto-
// labelling, the inference browser and the command line choose by the file they are given and
// say which runtime answered. Widget-free.
#include <QHash>
#include <QRectF>
#include <QString>
#include <QVector>
#include <functional>
#include <memory>

#include "core/expected.h"
#include "core/prediction.h"

namespace quorlan {

enum class ModelRuntime { Engine, Native };

// The file dialog's filter for a model to predict with: the engine's weights and exported ones.
inline constexpr const char* kModelFileFilter =
    "Models (*.pt *.onnx *.xml);;PyTorch Weights (*.pt);;Exported Models (*.onnx *.xml)";

// The runtime that runs `weights`: Native for .onnx, .xml and exported IR folders, else Engine.
ModelRuntime runtime_for(const QString& weights);

class PredictingModel {
 public:
  virtual ~PredictingModel() = default;
  // "Ultralytics engine (Python)" or "OpenVINO 2026.4.1 (CPU)".
  virtual QString runtime() const = 0;
  virtual QHash<int, QString> names() const = 0;
  // The file it was loaded from.
  virtual QString weights() const = 0;
  // Runs the model on one picture file; imgsz <= 0 keeps the model's own size. With `want_plot`
  // the answer carries the picture with what was found drawn on it, confidences included.
  virtual Expected<Prediction> predict(const QString& picture, double conf, int imgsz, bool want_plot) = 0;
  // Ends a prediction being waited for (the engine's host is stopped; a native one is quick).
  virtual void cancel() = 0;
};

// Loads `weights` for the runtime it needs. `key` names the engine host's slot ("ai", "inf",
// "cli"), so two users of the host keep their models apart. The engine must be installed for
// .pt weights (callers check HAS_YOLO() for those); an exported model needs nothing more.
Expected<std::shared_ptr<PredictingModel>> load_predicting_model(const QString& key, const QString& weights);

// What `model` finds of class `cls` on a picture at confidence `conf`: the boxes, in pixels (what a
// track follows by overlap).
std::function<Expected<QVector<QRectF>>(const QString&)> boxes_of_class(std::shared_ptr<PredictingModel> model, int cls,
                                                                        double conf);

}  // namespace quorlan

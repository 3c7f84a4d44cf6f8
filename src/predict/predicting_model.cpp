#include "predict/predicting_model.h"

#include <QFileInfo>

#include "core/atomic_file.h"
#include "core/image_reader.h"
#include "engine_client/prediction_host.h"
#include "native_inference/native_model.h"
#include "predict/prediction_plot.h"

namespace quorlan {

ModelRuntime runtime_for(const QString& weights) {
  return is_native_model(weights) ? ModelRuntime::Native : ModelRuntime::Engine;
}

namespace {

class EngineBackedModel : public PredictingModel {
 public:
  explicit EngineBackedModel(EngineModel model) : model_(std::move(model)) {}
  QString runtime() const override { return QStringLiteral("Ultralytics engine (Python)"); }
  QHash<int, QString> names() const override { return model_.names; }
  QString weights() const override { return model_.weights; }
  Expected<Prediction> predict(const QString& picture, double conf, int imgsz, bool want_plot) override {
    return PredictionHost::instance().predict(model_, picture, conf, imgsz, want_plot);
  }
  void cancel() override { PredictionHost::instance().cancel(); }

 private:
  EngineModel model_;
};

class NativeBackedModel : public PredictingModel {
 public:
  NativeBackedModel(std::unique_ptr<NativeModel> model, QString weights)
      : model_(std::move(model)), weights_(std::move(weights)) {}
  QString runtime() const override { return native_runtime_name(); }
  QHash<int, QString> names() const override { return model_->metadata().names; }
  QString weights() const override { return weights_; }
  Expected<Prediction> predict(const QString& picture, double conf, int imgsz, bool want_plot) override {
    const Expected<cv::Mat> image = read_image_bgr(picture);
    if (!image) return failure(image.error());
    Expected<Prediction> found = model_->predict(*image, conf, imgsz);
    if (!found || !want_plot) return found;
    Prediction drawn = *found;
    drawn.plot = draw_prediction(*image, drawn);
    return drawn;
  }
  void cancel() override {}

 private:
  std::unique_ptr<NativeModel> model_;
  QString weights_;
};

}  // namespace

Expected<std::shared_ptr<PredictingModel>> load_predicting_model(const QString& key, const QString& weights) {
  if (runtime_for(weights) == ModelRuntime::Native) {
    Expected<std::unique_ptr<NativeModel>> model = NativeModel::open(weights);
    if (!model) return failure(model.error());
    return std::shared_ptr<PredictingModel>(std::make_shared<NativeBackedModel>(std::move(model).value(), weights));
  }
  // The engine would wait for ever on a pipe named like weights.
  if (const Status file = require_regular_file(weights, QStringLiteral("weights")); !file) return failure(file.error());
  const Expected<EngineModel> model = PredictionHost::instance().load(key, QFileInfo(weights).absoluteFilePath());
  if (!model) return failure(model.error());
  return std::shared_ptr<PredictingModel>(std::make_shared<EngineBackedModel>(*model));
}

std::function<Expected<QVector<QRectF>>(const QString&)> boxes_of_class(std::shared_ptr<PredictingModel> model, int cls,
                                                                        double conf) {
  return [model = std::move(model), cls, conf](const QString& picture) -> Expected<QVector<QRectF>> {
    const Expected<Prediction> found = model->predict(picture, conf, 0, false);
    if (!found) return failure(found.error());
    QVector<QRectF> boxes;
    for (const Detection& d : found->boxes)
      if (d.cls == cls) boxes << d.box();
    return boxes;
  };
}

}  // namespace quorlan

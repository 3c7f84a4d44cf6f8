#include "predict/model_loading.h"

#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"

namespace quorlan {

namespace {

void load_now(QWidget* parent, const QString& path, const QString& key,
              std::function<void(std::shared_ptr<PredictingModel>)> loaded) {
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      parent, "Loading the model...", control, [path, key] { return load_predicting_model(key, path); },
      [parent, control, loaded = std::move(loaded)](const Expected<std::shared_ptr<PredictingModel>>& model) {
        if (control->cancel) return;
        if (!model) {
          prompts().critical(parent, "Error", "The model could not be loaded:\n" + model.error());
          return;
        }
        loaded(*model);
      },
      [] { PredictionHost::instance().cancel(); });
}

}  // namespace

void with_engine(QWidget* parent, std::function<void()> next) {
  const auto answer = [parent, next = std::move(next)](bool installed) {
    if (installed)
      next();
    else
      prompts().critical(parent, "Error", "Ultralytics is not installed.");
  };
  if (const std::optional<bool> known = engine_installed_if_known()) return answer(*known);
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      parent, "Looking for the engine...", control, [] { return HAS_YOLO(); },
      [control, answer](bool installed) {
        if (!control->cancel) answer(installed);
      });
}

void load_model_beside_window(QWidget* parent, const QString& path, const QString& key,
                              std::function<void(std::shared_ptr<PredictingModel>)> loaded) {
  // Exported models run natively; only the engine's own weights need the engine.
  if (runtime_for(path) != ModelRuntime::Engine) return load_now(parent, path, key, std::move(loaded));
  with_engine(parent, [parent, path, key, loaded = std::move(loaded)] { load_now(parent, path, key, loaded); });
}

}  // namespace quorlan

#pragma once
// A model file loaded from the window, beside it: the engine's presence is asked off the window's
// thread (its first answer may take seconds), the load shows the busy box, and a failure its box.
#include <QString>
#include <functional>
#include <memory>

#include "predict/predicting_model.h"

class QWidget;

namespace quorlan {

// Loads `path` under `key` (see load_predicting_model) and hands the model to `loaded` on the
// window's thread. Says "Ultralytics is not installed." for .pt weights without the engine, and
// why a load failed; `loaded` is not called then, nor after Cancel or when `parent` has gone.
// Calls `next` once the engine is known to be installed: at once when the start-up check has
// answered, else after it has (beside the window, with its busy box). Without the engine it says
// "Ultralytics is not installed." and `next` is not called.
void with_engine(QWidget* parent, std::function<void()> next);

void load_model_beside_window(QWidget* parent, const QString& path, const QString& key,
                              std::function<void(std::shared_ptr<PredictingModel>)> loaded);

}  // namespace quorlan

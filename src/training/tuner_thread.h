#pragma once
#include <QVariantMap>

#include "engine_client/engine_job.h"

namespace quorlan {

// The engine's genetic hyperparameter search in its own engine host; its result is the newest
// best_hyperparameters.yaml below the project folder.
// abort() ends the search at once by ending its engine host (the window is closing).
class YoloTunerThread : public EngineJob {
  Q_OBJECT
 public:
  explicit YoloTunerThread(const QVariantMap& params, QObject* parent = nullptr);

  const QVariantMap params;

 signals:
  void log_signal(const QString& text);
  void finished_signal(const QVariantMap& best_params);
  void error_signal(const QString& text);

 protected:
  Work work() const override;
};

}  // namespace quorlan

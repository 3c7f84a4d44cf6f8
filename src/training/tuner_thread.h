#pragma once
#include <QThread>
#include <QVariantMap>

#include "engine_client/engine_run.h"

namespace quorlan {

// The engine's genetic hyperparameter search in its own engine host; its result is the newest
// best_hyperparameters.yaml below the project folder.
class YoloTunerThread : public QThread {
  Q_OBJECT
 public:
  explicit YoloTunerThread(const QVariantMap& params, QObject* parent = nullptr);
  ~YoloTunerThread() override;

  // Ends the search at once by ending its engine host (the window is closing).
  void abort() { engine_.cancel(); }

  const QVariantMap params;

 signals:
  void log_signal(const QString& text);
  void finished_signal(const QVariantMap& best_params);
  void error_signal(const QString& text);

 protected:
  void run() override;

 private:
  EngineRun engine_;
};

}  // namespace quorlan

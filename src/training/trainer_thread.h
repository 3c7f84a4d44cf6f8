#pragma once
#include <QThread>
#include <QVariant>
#include <QVariantMap>

#include "engine_client/engine_run.h"

namespace quorlan {

// The parameters of one training run, under the names the engine host takes.
using TrainParams = QVariantMap;

// One training run of the engine followed by validation of its best weights, in its own engine
// host process. Reports only through its signals; exactly one of finished, stopped or error.
class YoloTrainerThread : public QThread {
  Q_OBJECT
 public:
  explicit YoloTrainerThread(const TrainParams& params, QObject* parent = nullptr);
  ~YoloTrainerThread() override;

  // Asks the run to stop after the engine's current batch; returns at once.
  void stop();
  // Ends the run at once by ending its engine host (the window is closing).
  void abort();

  const TrainParams params;

 signals:
  void log_signal(const QString& text);
  void progress_signal(int percent, const QString& status, const QString& plot_path);
  void finished_signal(const QVariant& record);
  void stopped_signal();
  void error_signal(const QString& text);

 protected:
  void run() override;

 private:
  EngineRun engine_;  // the run's engine host: stop() and abort() reach it from any thread
};

}  // namespace quorlan

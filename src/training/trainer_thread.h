#pragma once
#include <QVariant>
#include <QVariantMap>

#include "engine_client/engine_job.h"

namespace quorlan {

// The parameters of one training run, under the names the engine host takes.
using TrainParams = QVariantMap;

// One training run of the engine followed by validation of its best weights, in its own engine
// host process. Reports only through its signals; exactly one of finished, stopped or error.
// stop() asks the run to stop after the engine's current batch and returns at once.
class YoloTrainerThread : public EngineJob {
  Q_OBJECT
 public:
  explicit YoloTrainerThread(const TrainParams& params, QObject* parent = nullptr);

  const TrainParams params;

 signals:
  void log_signal(const QString& text);
  void progress_signal(int percent, const QString& status, const QString& plot_path);
  void finished_signal(const QVariant& record);
  void stopped_signal();
  void error_signal(const QString& text);

 protected:
  Work work() const override;
};

}  // namespace quorlan

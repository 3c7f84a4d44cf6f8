#pragma once
// A run of the engine started from the window (training, tuning, a model export): its work runs
// on the work pool with an engine host of its own, and reaches the job only through calls posted
// to the job's thread. Nobody waits for it: stop() asks the engine to stop, abort() (and the job's
// destruction) ends its host at once; the work then ends on its own, and what it would still have
// said to a job that is gone is dropped.
#include <QFuture>
#include <QObject>
#include <functional>
#include <memory>

#include "engine_client/engine_run.h"

namespace quorlan {

class EngineJob : public QObject {
  Q_OBJECT
 public:
  ~EngineJob() override;

  // Starts the work (once).
  void start();
  bool isRunning() const { return future_.isValid() && !future_.isFinished(); }
  bool isFinished() const { return future_.isValid() && future_.isFinished(); }
  // Asks the engine to stop: a training run saves and ends with its "stopped" event.
  void stop() { engine_->stop(); }
  // Ends the run at once by ending its engine host (the window is closing).
  void abort();

 protected:
  explicit EngineJob(QObject* parent);

  // Calls `call(job)` on the job's thread, unless the job is gone by then.
  using Post = std::function<void(std::function<void(EngineJob&)>)>;
  // The work, run on the pool: it must not touch the job, only the engine and `post`.
  using Work = std::function<void(EngineRun& engine, const Post& post)>;
  virtual Work work() const = 0;

 private:
  class Relay;
  std::shared_ptr<EngineRun> engine_ = std::make_shared<EngineRun>();
  std::shared_ptr<Relay> relay_;
  QFuture<void> future_;
};

}  // namespace quorlan

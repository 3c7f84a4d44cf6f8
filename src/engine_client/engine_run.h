#pragma once
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <functional>

#include "core/expected.h"

namespace quorlan {

// One request to a fresh engine host, run to its end on the calling thread (which waits on the
// host's output while it works, never in an event loop: never the window's thread). stop() and
// cancel() may be called from any thread, at any time, also before run().
class EngineRun {
 public:
  // How a run ended; a failure (the host died or broke the protocol, or the engine's "error"
  // event) says why.
  enum class End {
    Completed,  // `on_event` ended the run (the request's last event arrived)
    Cancelled,  // cancel() ended the host
  };

  // Asks the host to stop (sent once): a training run saves and ends with its "stopped" event.
  void stop() { stop_.store(true); }
  // Ends the host (and all it started) at once; the run ends Cancelled.
  void cancel() { cancel_.store(true); }
  bool stop_requested() const { return stop_.load(); }
  bool cancel_requested() const { return cancel_.load(); }

  // Sends `request` and relays the console to `log` and each event to `on_event` until
  // `on_event` returns true. `tick`, when given, is called about twice a second meanwhile.
  Expected<End> run(const QJsonObject& request, const std::function<void(const QString&)>& log,
                    const std::function<bool(const QJsonObject&)>& on_event, const std::function<void()>& tick = {});
  // A request that ends with one `done_event` (kept in `done`), or a failure with the engine's
  // message of its "error" event.
  struct Reply {
    End end = End::Completed;
    QJsonObject done;
  };
  Expected<Reply> command(const QJsonObject& request, const QString& done_event,
                          const std::function<void(const QString&)>& log, const std::function<void()>& tick = {});

  // How a training run ended: its "finished" event, a stop, or a cancel; the engine's error (cleaned)
  // is a failure.
  struct Training {
    QJsonObject finished;
    bool stopped = false;
    bool cancelled = false;
  };
  // What a training run says on its way.
  struct TrainStep {
    enum class Kind {
      Batches,     // the engine's batch callbacks arrive (not under multi-GPU training)
      Epoch,       // an epoch ended: `epoch` of `epochs`, the run's folder in `save_dir`
      Validating,  // the best weights are being validated
    } kind = Kind::Epoch;
    int epoch = 0;
    int epochs = 0;
    QString save_dir;
  };
  // A "train" request with `params` to its end, each step to `on_step`.
  Expected<Training> train(const QJsonObject& params, const std::function<void(const QString&)>& log,
                           const std::function<void(const TrainStep&)>& on_step,
                           const std::function<void()>& tick = {});

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> cancel_{false};
};

}  // namespace quorlan

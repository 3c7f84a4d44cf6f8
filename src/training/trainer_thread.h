#pragma once
#include <QElapsedTimer>
#include <QThread>
#include <QVariant>
#include <QVariantMap>
#include <atomic>

namespace quorlan {

class EngineSession;

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
  std::atomic<bool> is_stopped{false};
  std::atomic<bool> is_aborted{false};

 signals:
  void log_signal(const QString& text);
  void progress_signal(int percent, const QString& status, const QString& plot_path);
  void finished_signal(const QVariant& record);
  void stopped_signal();
  void error_signal(const QString& text);

 protected:
  void run() override;
};

// Runs one request in a fresh engine host on the calling worker thread, relaying the console to
// `log` and each event to `on_event`, until `on_event` returns true (the run is over), the host
// dies, or `stop_requested` asks for a stop (sent to the host once). `abort_requested` ends the
// host at once and the run with "Aborted.". Returns an error text, or an empty string.
QString run_engine_request(const QJsonObject& request, const std::function<void(const QString&)>& log,
                           const std::function<bool(const QJsonObject&)>& on_event,
                           const std::atomic<bool>* stop_requested = nullptr,
                           const std::atomic<bool>* abort_requested = nullptr);

}  // namespace quorlan

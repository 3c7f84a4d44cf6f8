#pragma once
// The long-lived engine host shared by auto-labelling and the inference browser. It keeps the
// loaded models, so a page step or a threshold change is one round trip, not a reload.
// The host is talked to on a thread of its own; each request blocks its caller until the answer
// is in, so the window calls it from work run beside the window (widgets/background_work.h).
// Requests are answered one at a time; a request made while another is in flight is refused as
// busy.
#include <QHash>
#include <QImage>
#include <QJsonObject>
#include <QPolygonF>
#include <QString>
#include <QVector>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "core/expected.h"
#include "core/prediction.h"

class QObject;
class QThread;

namespace quorlan {

class EngineSession;

// A model loaded in the prediction host, known by its key ("ai", "inf", ...).
struct EngineModel {
  QString key;
  QString weights;
  QHash<int, QString> names;
};

class PredictionHost {
 public:
  static PredictionHost& instance();
  ~PredictionHost();

  // Loads `weights` under `key`, replacing what the key held; on failure the reason (the
  // previous model of the key stays).
  Expected<EngineModel> load(const QString& key, const QString& weights);
  // Runs the model of `model` on one image file; imgsz <= 0 leaves the engine's default.
  Expected<Prediction> predict(const EngineModel& model, const QString& source, double conf, int imgsz, bool want_plot);
  // Ends the host (the window is closing); the next request starts a new one.
  void shutdown();
  // Ends the request being waited for at once (Ctrl+C, the window closing): it fails as
  // "Cancelled." and the host, whose answer would no longer be read, is ended.
  void cancel() { cancelled_ = true; }
  // A flag raised from elsewhere (the command line's Ctrl+C) that cancels as cancel() does.
  void set_cancel_flag(const std::atomic<bool>* flag) { cancel_flag_ = flag; }

 private:
  PredictionHost() = default;
  Status ensure_started();
  Expected<QJsonObject> round_trip(const QJsonObject& request);
  Expected<Prediction> predict_now(const EngineModel& model, const QString& source, double conf, int imgsz,
                                   bool want_plot);

  // Runs `call` on the host's thread (started when first needed) and returns its answer, or
  // `unreachable` when the thread cannot take it (the application is gone).
  template <typename T>
  T on_host_thread(const std::function<T()>& call, T unreachable);
  // Ends the host's thread and then the host it held.
  void stop_thread();
  Expected<EngineModel> load_now(const QString& key, const QString& weights);
  void shutdown_now();
  void end_request();

  QThread* thread_ = nullptr;
  QObject* context_ = nullptr;  // lives on thread_: calls are queued to it
  std::unique_ptr<EngineSession> session_;
  QHash<QString, QString> loaded_;  // key -> weights the running host holds
  QString plot_path_;
  bool busy_ = false;
  bool shutdown_pending_ = false;
  std::atomic<bool> cancelled_{false};
  const std::atomic<bool>* cancel_flag_ = nullptr;
};

}  // namespace quorlan

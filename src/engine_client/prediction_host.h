#pragma once
// The long-lived engine host shared by auto-labelling and the inference browser. It keeps the
// loaded models, so a page step or a threshold change is one round trip, not a reload.
// The host is talked to on a thread of its own, one request after the other; each request blocks
// its caller until the answer is in, so the window asks from work run beside it
// (widgets/background_work.h), never from its own thread.
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

class QThreadPool;

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
  // Ends the host after the requests already asked (the window is closing); returns at once. The
  // next request starts a new host.
  void shutdown();
  // Ends the requests asked so far at once (Ctrl+C, Cancel, the window closing): they fail as
  // "Cancelled." and the host, whose answer would no longer be read, is ended.
  void cancel() { ++cancel_generation_; }
  // A flag raised from elsewhere (the command line's Ctrl+C) that cancels as cancel() does.
  void set_cancel_flag(const std::atomic<bool>* flag) { cancel_flag_ = flag; }

 private:
  PredictionHost();
  // Runs `call` on the host's thread after the requests before it, and returns its answer.
  template <typename T>
  T on_host_thread(std::function<T(int generation)> call);
  bool cancelled(int generation) const;
  Status ensure_started();
  Expected<QJsonObject> round_trip(const QJsonObject& request, int generation);
  Expected<EngineModel> load_now(const QString& key, const QString& weights, int generation);
  Expected<Prediction> predict_now(const EngineModel& model, const QString& source, double conf, int imgsz,
                                   bool want_plot, int generation);
  void end_host();

  std::unique_ptr<QThreadPool> thread_;  // one thread, kept: the host's process belongs to it
  // Everything below is touched on the host's thread only.
  std::unique_ptr<EngineSession> session_;
  QHash<QString, QString> loaded_;  // key -> weights the running host holds
  QString plot_path_;
  std::atomic<int> cancel_generation_{0};
  const std::atomic<bool>* cancel_flag_ = nullptr;
};

}  // namespace quorlan

#include "engine_client/prediction_host.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFuture>
#include <QJsonArray>
#include <QPromise>
#include <QThreadPool>

#include "core/constants.h"
#include "engine_client/engine_host.h"

namespace quorlan {

namespace {
constexpr qint64 kAnswerTimeoutMs = 10 * 60 * 1000;  // a first load may fetch and build a model
}  // namespace

PredictionHost& PredictionHost::instance() {
  static PredictionHost host;
  return host;
}

PredictionHost::PredictionHost() : thread_(std::make_unique<QThreadPool>()) {
  thread_->setMaxThreadCount(1);
  thread_->setExpiryTimeout(-1);  // the same thread for good: the host's process belongs to it
  thread_->setObjectName(QStringLiteral("quorlan-prediction-host"));
}

// At exit: the host goes after the requests still asked, on its own thread.
PredictionHost::~PredictionHost() {
  shutdown();
  thread_->waitForDone();
}

template <typename T>
T PredictionHost::on_host_thread(std::function<T(int generation)> call) {
  const int generation = cancel_generation_.load();
  // A promise rather than QtConcurrent::run: a waiting caller must never run the call itself
  // (as QFuture::result() does with a task not yet begun), for the host belongs to one thread.
  auto promise = std::make_shared<QPromise<T>>();
  QFuture<T> answer = promise->future();
  promise->start();
  thread_->start([promise, call = std::move(call), generation] {
    promise->addResult(call(generation));
    promise->finish();
  });
  return answer.result();
}

bool PredictionHost::cancelled(int generation) const {
  return cancel_generation_.load() != generation || (cancel_flag_ && cancel_flag_->load());
}

void PredictionHost::shutdown() {
  thread_->start([this] { end_host(); });
}

void PredictionHost::end_host() {
  if (!session_) return;
  session_->finish(2000);
  session_.reset();
  if (!plot_path_.isEmpty()) QFile::remove(plot_path_);
}

Status PredictionHost::ensure_started() {
  // Between requests nothing reads the host: its end, if it came meanwhile, is heard now.
  if (session_) session_->wait_for_output(0);
  if (session_ && session_->running()) return {};
  if (session_) session_->finish(0);  // a dead host's process group goes with it
  session_ = std::make_unique<EngineSession>();
  if (const Status started = session_->start(); !started) {
    session_.reset();
    return started;
  }
  plot_path_ =
      QDir(QDir::tempPath()).filePath(QStringLiteral("quorlan-plot-%1.raw").arg(QCoreApplication::applicationPid()));
  loaded_.clear();  // a new host knows no models; each is loaded again when next asked for
  return {};
}

Expected<QJsonObject> PredictionHost::round_trip(const QJsonObject& request, int generation) {
  std::optional<QJsonObject> reply;
  QString failed;
  const auto end_with = [&](const QString& text) {
    if (reply || !failed.isEmpty()) return;
    failed = text;
  };
  QObject listening;  // the connections below end with this call
  QObject::connect(session_.get(), &EngineSession::event_signal, &listening, [&](const QJsonObject& event) {
    if (reply || !failed.isEmpty()) return;
    if (event["event"].toString() == QLatin1String("error")) {
      const QString text = clean_console_text(event["text"].toString()).trimmed();
      return end_with(text.isEmpty() ? QStringLiteral("The engine reported an error without a message.") : text);
    }
    reply = event;
  });
  QObject::connect(session_.get(), &EngineSession::died_signal, &listening, end_with);
  QObject::connect(session_.get(), &EngineSession::protocol_error_signal, &listening, end_with);
  QElapsedTimer clock;
  clock.start();
  session_->send(request);
  // The host's output is read as it comes (its signals arrive within the wait); Cancel, Ctrl+C
  // or the window closing end the wait within 50 ms, and a host that hangs is given up on.
  while (!reply && failed.isEmpty()) {
    if (cancelled(generation)) {
      end_with(QStringLiteral("Cancelled."));
    } else if (clock.elapsed() > kAnswerTimeoutMs) {
      end_with(
          QStringLiteral("The engine did not answer within %1 minutes and was ended.").arg(kAnswerTimeoutMs / 60000));
    } else if (!session_->wait_for_output(50) && !session_->running()) {
      // A host that ended with its answer said has answered: end_with keeps the first outcome.
      end_with(QStringLiteral("The engine ended before it could answer.\n") + session_->console_tail());
    }
  }
  if (reply) return *reply;
  // After a death, a broken line, a timeout or a cancel the host is not trusted again.
  session_->finish(0);
  session_.reset();
  return failure(failed);
}

Expected<EngineModel> PredictionHost::load(const QString& key, const QString& weights) {
  return on_host_thread<Expected<EngineModel>>(
      [this, key, weights](int generation) { return load_now(key, weights, generation); });
}

Expected<EngineModel> PredictionHost::load_now(const QString& key, const QString& weights, int generation) {
  if (cancelled(generation)) return failure(QStringLiteral("Cancelled."));
  if (const Status started = ensure_started(); !started) return failure(started.error());
  const Expected<QJsonObject> reply = round_trip({{"cmd", "load"}, {"key", key}, {"weights", weights}}, generation);
  if (!reply) return failure(reply.error());  // a failed load leaves the key's previous model in place
  EngineModel model{key, weights, {}};
  const QJsonObject names = (*reply)["names"].toObject();
  for (auto it = names.begin(); it != names.end(); ++it) model.names.insert(it.key().toInt(), it.value().toString());
  loaded_.insert(key, weights);
  return model;
}

Expected<Prediction> PredictionHost::predict(const EngineModel& model, const QString& source, double conf, int imgsz,
                                             bool want_plot) {
  return on_host_thread<Expected<Prediction>>([this, model, source, conf, imgsz, want_plot](int generation) {
    return predict_now(model, source, conf, imgsz, want_plot, generation);
  });
}

Expected<Prediction> PredictionHost::predict_now(const EngineModel& model, const QString& source, double conf,
                                                 int imgsz, bool want_plot, int generation) {
  if (cancelled(generation)) return failure(QStringLiteral("Cancelled."));
  if (const Status started = ensure_started(); !started) return failure(started.error());
  if (loaded_.value(model.key) != model.weights) {
    // A new host, or the key was taken over by another model since: load this one again.
    const Expected<QJsonObject> loaded =
        round_trip({{"cmd", "load"}, {"key", model.key}, {"weights", model.weights}}, generation);
    if (!loaded) return failure(loaded.error());
    loaded_.insert(model.key, model.weights);
  }
  QJsonObject request{{"cmd", "predict"}, {"key", model.key}, {"source", source}, {"conf", conf}};
  if (imgsz > 0) request["imgsz"] = imgsz;
  if (want_plot) request["plot"] = plot_path_;
  const Expected<QJsonObject> reply = round_trip(request, generation);
  if (!reply) return failure(reply.error());
  Prediction p;
  for (const QJsonValue b : (*reply)["boxes"].toArray()) {
    const QJsonArray xyxy = b["xyxy"].toArray();
    p.boxes.append({b["cls"].toInt(), xyxy[0].toDouble(), xyxy[1].toDouble(), xyxy[2].toDouble(), xyxy[3].toDouble(),
                    b["conf"].toDouble()});
  }
  if ((*reply)["masks"].isArray()) {
    QVector<QPolygonF> masks;
    for (const QJsonValue m : (*reply)["masks"].toArray()) {
      QPolygonF poly;
      for (const QJsonValue pt : m.toArray()) poly << QPointF(pt[0].toDouble(), pt[1].toDouble());
      masks.append(poly);
    }
    p.masks = masks;
  }
  const QJsonObject names = (*reply)["names"].toObject();
  for (auto it = names.begin(); it != names.end(); ++it) p.names.insert(it.key().toInt(), it.value().toString());
  if (want_plot && (*reply)["plot"].isObject()) {
    const QJsonObject plot = (*reply)["plot"].toObject();
    const int w = plot["width"].toInt(), h = plot["height"].toInt();
    QFile raw(plot_path_);
    if (w > 0 && h > 0 && raw.open(QIODevice::ReadOnly)) {
      const QByteArray bytes = raw.readAll();
      if (bytes.size() == qsizetype(w) * h * 3) {
        // The engine draws in BGR order; Qt's BGR888 takes the rows as they are.
        p.plot = QImage(reinterpret_cast<const uchar*>(bytes.constData()), w, h, w * 3, QImage::Format_BGR888)
                     .convertToFormat(QImage::Format_RGB888);
      }
    }
  }
  return p;
}

}  // namespace quorlan

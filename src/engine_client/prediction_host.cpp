#include "engine_client/prediction_host.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>

#include "core/constants.h"
#include "engine_client/engine_host.h"

namespace quorlan {

namespace {
constexpr qint64 kAnswerTimeoutMs = 10 * 60 * 1000;  // a first load may fetch and build a model

Failure unreachable_host() { return failure(QStringLiteral("The engine's thread could not be reached.")); }
}  // namespace

PredictionHost& PredictionHost::instance() {
  static PredictionHost host;
  return host;
}

// At exit the application may be gone, and with it the queue to the host's thread: the thread
// ends first, and the host process is ended from here.
PredictionHost::~PredictionHost() {
  if (thread_) stop_thread();
}

template <typename T>
T PredictionHost::on_host_thread(const std::function<T()>& call, T unreachable) {
  if (!thread_) {
    thread_ = new QThread;
    thread_->setObjectName(QStringLiteral("quorlan-prediction-host"));
    context_ = new QObject;
    context_->moveToThread(thread_);
    thread_->start();
  }
  if (QThread::currentThread() == thread_) return call();
  std::optional<T> answer;
  if (!QMetaObject::invokeMethod(
          context_, [&] { answer = call(); }, Qt::BlockingQueuedConnection) ||
      !answer)
    return unreachable;
  return std::move(*answer);
}

void PredictionHost::shutdown() {
  if (!thread_) return;
  if (QCoreApplication::instance() && QThread::currentThread() != thread_) {
    on_host_thread<bool>(
        [this] {
          shutdown_now();
          return true;
        },
        false);
    if (shutdown_pending_) return;  // the request being waited for ends first, then the host
  }
  stop_thread();
}

void PredictionHost::stop_thread() {
  thread_->quit();
  thread_->wait();
  shutdown_now();  // what the thread still held; its events are over
  delete context_;
  delete thread_;
  context_ = nullptr;
  thread_ = nullptr;
}

void PredictionHost::shutdown_now() {
  // Asked while a request waits (the call arrived in its wait): the request ends as cancelled and
  // the host goes when it has.
  if (busy_) {
    cancelled_ = true;
    shutdown_pending_ = true;
    return;
  }
  shutdown_pending_ = false;
  if (!session_) return;
  session_->finish(2000);
  session_.reset();
  if (!plot_path_.isEmpty()) QFile::remove(plot_path_);
}

void PredictionHost::end_request() {
  busy_ = false;
  if (shutdown_pending_) shutdown_now();
}

Status PredictionHost::ensure_started() {
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

Expected<QJsonObject> PredictionHost::round_trip(const QJsonObject& request) {
  QEventLoop loop;
  std::optional<QJsonObject> reply;
  QString failed;
  const auto end_with = [&](const QString& text) {
    if (reply || !failed.isEmpty()) return;
    failed = text;
    loop.quit();
  };
  QObject::connect(session_.get(), &EngineSession::event_signal, &loop, [&](const QJsonObject& event) {
    if (reply || !failed.isEmpty()) return;
    if (event["event"].toString() == QLatin1String("error")) {
      const QString text = clean_console_text(event["text"].toString()).trimmed();
      return end_with(text.isEmpty() ? QStringLiteral("The engine reported an error without a message.") : text);
    }
    reply = event;
    loop.quit();
  });
  QObject::connect(session_.get(), &EngineSession::died_signal, &loop, end_with);
  QObject::connect(session_.get(), &EngineSession::protocol_error_signal, &loop, end_with);
  // A host that hangs must not hold the studio for good.
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
    end_with(
        QStringLiteral("The engine did not answer within %1 minutes and was ended.").arg(kAnswerTimeoutMs / 60000));
  });
  deadline.start(kAnswerTimeoutMs);
  // Cancel, Ctrl+C or the window closing ends the wait at once.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
    if (cancelled_ || (cancel_flag_ && cancel_flag_->load())) end_with(QStringLiteral("Cancelled."));
  });
  watch.start(50);
  session_->send(request);
  // A host that ended before this request was sent has nobody to answer it: say so at once.
  if (!session_->running())
    end_with(QStringLiteral("The engine ended before it could answer.\n") + session_->console_tail());
  if (!reply && failed.isEmpty()) loop.exec();
  if (reply) return *reply;
  // After a death, a broken line or a timeout the host is not trusted again.
  session_->finish(0);
  session_.reset();
  return failure(failed);
}

Expected<EngineModel> PredictionHost::load(const QString& key, const QString& weights) {
  cancelled_ = false;
  return on_host_thread<Expected<EngineModel>>([&] { return load_now(key, weights); }, unreachable_host());
}

Expected<EngineModel> PredictionHost::load_now(const QString& key, const QString& weights) {
  if (busy_) return failure(QStringLiteral("The engine is busy with another request."));
  busy_ = true;
  const auto done = qScopeGuard([this] { end_request(); });
  if (const Status started = ensure_started(); !started) return failure(started.error());
  const Expected<QJsonObject> reply = round_trip({{"cmd", "load"}, {"key", key}, {"weights", weights}});
  if (!reply) return failure(reply.error());  // a failed load leaves the key's previous model in place
  EngineModel model{key, weights, {}};
  const QJsonObject names = (*reply)["names"].toObject();
  for (auto it = names.begin(); it != names.end(); ++it) model.names.insert(it.key().toInt(), it.value().toString());
  loaded_.insert(key, weights);
  return model;
}

Expected<Prediction> PredictionHost::predict(const EngineModel& model, const QString& source, double conf, int imgsz,
                                             bool want_plot) {
  cancelled_ = false;
  return on_host_thread<Expected<Prediction>>(
      [&]() -> Expected<Prediction> {
        if (busy_) return failure(QStringLiteral("The engine is busy with another request."));
        busy_ = true;
        const auto done = qScopeGuard([this] { end_request(); });
        return predict_now(model, source, conf, imgsz, want_plot);
      },
      unreachable_host());
}

Expected<Prediction> PredictionHost::predict_now(const EngineModel& model, const QString& source, double conf,
                                                 int imgsz, bool want_plot) {
  if (const Status started = ensure_started(); !started) return failure(started.error());
  if (loaded_.value(model.key) != model.weights) {
    // A new host, or the key was taken over by another model since: load this one again.
    const Expected<QJsonObject> loaded = round_trip({{"cmd", "load"}, {"key", model.key}, {"weights", model.weights}});
    if (!loaded) return failure(loaded.error());
    loaded_.insert(model.key, model.weights);
  }
  QJsonObject request{{"cmd", "predict"}, {"key", model.key}, {"source", source}, {"conf", conf}};
  if (imgsz > 0) request["imgsz"] = imgsz;
  if (want_plot) request["plot"] = plot_path_;
  const Expected<QJsonObject> reply = round_trip(request);
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

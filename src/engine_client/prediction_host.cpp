#include "engine_client/prediction_host.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QTimer>

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

PredictionHost::~PredictionHost() { shutdown(); }

void PredictionHost::shutdown() {
  if (!session_) return;
  session_->finish(2000);
  session_.reset();
  if (!plot_path_.isEmpty()) QFile::remove(plot_path_);
}

bool PredictionHost::ensure_started(QString* error) {
  if (session_ && session_->running()) return true;
  if (session_) session_->finish(0);  // a dead host's process group goes with it
  session_ = std::make_unique<EngineSession>();
  if (!session_->start(error)) {
    session_.reset();
    return false;
  }
  plot_path_ =
      QDir(QDir::tempPath()).filePath(QStringLiteral("quorlan-plot-%1.raw").arg(QCoreApplication::applicationPid()));
  loaded_.clear();  // a new host knows no models; each is loaded again when next asked for
  return true;
}

std::optional<QJsonObject> PredictionHost::round_trip(const QJsonObject& request, QString* error) {
  QEventLoop loop;
  std::optional<QJsonObject> reply;
  QString failure;
  const auto end_with = [&](const QString& text) {
    if (reply || !failure.isEmpty()) return;
    failure = text;
    loop.quit();
  };
  QObject::connect(session_.get(), &EngineSession::event_signal, &loop, [&](const QJsonObject& event) {
    if (reply || !failure.isEmpty()) return;
    if (event["event"].toString() == QLatin1String("error"))
      return end_with(clean_console_text(event["text"].toString()));
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
  session_->send(request);
  // The window keeps drawing while the engine works; clicks and keys wait for the answer.
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  if (reply) return reply;
  *error = failure;
  // After a death, a broken line or a timeout the host is not trusted again.
  session_->finish(0);
  session_.reset();
  return std::nullopt;
}

std::optional<EngineModel> PredictionHost::load(const QString& key, const QString& weights, QString* error) {
  if (busy_) {
    *error = QStringLiteral("The engine is busy with another request.");
    return std::nullopt;
  }
  busy_ = true;
  std::optional<EngineModel> model;
  if (ensure_started(error)) {
    if (const auto reply = round_trip({{"cmd", "load"}, {"key", key}, {"weights", weights}}, error)) {
      model = EngineModel{key, weights, {}};
      const QJsonObject names = (*reply)["names"].toObject();
      for (auto it = names.begin(); it != names.end(); ++it)
        model->names.insert(it.key().toInt(), it.value().toString());
      loaded_.insert(key, weights);
    }  // a failed load leaves the key's previous model in place
  }
  busy_ = false;
  return model;
}

std::optional<Prediction> PredictionHost::predict(const EngineModel& model, const QString& source, double conf,
                                                  int imgsz, bool want_plot, QString* error) {
  if (busy_) {
    *error = QStringLiteral("The engine is busy with another request.");
    return std::nullopt;
  }
  busy_ = true;
  std::optional<Prediction> result;
  const auto finish = [&] { busy_ = false; };
  if (!ensure_started(error)) {
    finish();
    return std::nullopt;
  }
  if (loaded_.value(model.key) != model.weights) {
    // A new host, or the key was taken over by another model since: load this one again.
    if (!round_trip({{"cmd", "load"}, {"key", model.key}, {"weights", model.weights}}, error)) {
      finish();
      return std::nullopt;
    }
    loaded_.insert(model.key, model.weights);
  }
  QJsonObject request{{"cmd", "predict"}, {"key", model.key}, {"source", source}, {"conf", conf}};
  if (imgsz > 0) request["imgsz"] = imgsz;
  if (want_plot) request["plot"] = plot_path_;
  const auto reply = round_trip(request, error);
  if (reply) {
    Prediction p;
    for (const QJsonValue b : (*reply)["boxes"].toArray()) {
      const QJsonArray xyxy = b["xyxy"].toArray();
      p.boxes.append(
          {b["cls"].toInt(), xyxy[0].toDouble(), xyxy[1].toDouble(), xyxy[2].toDouble(), xyxy[3].toDouble()});
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
    result = p;
  }
  finish();
  return result;
}

}  // namespace quorlan

#include "engine_client/prediction_host.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

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
  if (!process_) return;
  process_->closeWriteChannel();
  if (!process_->waitForFinished(2000)) {
    process_->kill();
    process_->waitForFinished(2000);
  }
  end_process_group(pid_);
  process_.reset();
  if (!plot_path_.isEmpty()) QFile::remove(plot_path_);
}

QString PredictionHost::drain_console() {
  const QString text = clean_console_text(QString::fromUtf8(process_->readAllStandardError()));
  if (!text.isEmpty()) {
    console_tail_ += text;
    if (console_tail_.size() > 4000) console_tail_ = console_tail_.right(2000);
  }
  return text;
}

bool PredictionHost::ensure_started(QString* error) {
  if (process_ && process_->state() == QProcess::Running) return true;
  end_process_group(pid_);  // anything a dead host left behind
  process_ = std::make_unique<QProcess>();
  start_in_own_group(*process_, engine_python(), {"-u", engine_host_script()});
  if (!process_->waitForStarted(30000)) {
    *error =
        QStringLiteral("The engine could not be started with %1: %2").arg(engine_python(), process_->errorString());
    process_.reset();
    return false;
  }
  pid_ = process_->processId();
  console_tail_.clear();
  plot_path_ = QDir(QDir::tempPath()).filePath(QStringLiteral("quorlan-plot-%1.raw").arg(process_->processId()));
  loaded_.clear();  // a new host knows no models; each is loaded again when next asked for
  return true;
}

std::optional<QJsonObject> PredictionHost::round_trip(const QJsonObject& request, QString* error) {
  process_->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    if (waited.elapsed() > kAnswerTimeoutMs) {  // a host that hangs must not freeze the window for good
      process_->kill();
      process_->waitForFinished(2000);
      end_process_group(pid_);
      process_.reset();
      *error =
          QStringLiteral("The engine did not answer within %1 minutes and was ended.").arg(kAnswerTimeoutMs / 60000);
      return std::nullopt;
    }
    if (process_->canReadLine()) {
      const QByteArray line = process_->readLine().trimmed();
      if (line.isEmpty()) continue;
      const QJsonDocument doc = QJsonDocument::fromJson(line);
      drain_console();
      if (!doc.isObject()) {  // a broken protocol ends the request at once, never a silent wait
        *error = QStringLiteral("The engine sent a line that is not a JSON object: %1")
                     .arg(QString::fromUtf8(line.left(200)));
        return std::nullopt;
      }
      const QJsonObject reply = doc.object();
      if (reply["event"].toString() == QLatin1String("error")) {
        *error = clean_console_text(reply["text"].toString());
        return std::nullopt;
      }
      return reply;
    }
    if (process_->state() != QProcess::Running) {
      process_->waitForFinished(1000);
      end_process_group(pid_);
      drain_console();
      QStringList lines = console_tail_.split('\n', Qt::SkipEmptyParts);
      if (lines.size() > 12) lines = lines.mid(lines.size() - 12);
      *error = QStringLiteral("The engine process ended unexpectedly.") +
               (lines.isEmpty() ? QString() : "\n" + lines.join('\n'));
      process_.reset();
      return std::nullopt;
    }
    process_->waitForReadyRead(50);
    drain_console();
  }
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
    for (const QJsonValue& b : (*reply)["boxes"].toArray()) {
      const QJsonArray xyxy = b["xyxy"].toArray();
      p.boxes.append(
          {b["cls"].toInt(), xyxy[0].toDouble(), xyxy[1].toDouble(), xyxy[2].toDouble(), xyxy[3].toDouble()});
    }
    if ((*reply)["masks"].isArray()) {
      QVector<QPolygonF> masks;
      for (const QJsonValue& m : (*reply)["masks"].toArray()) {
        QPolygonF poly;
        for (const QJsonValue& pt : m.toArray()) poly << QPointF(pt[0].toDouble(), pt[1].toDouble());
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

#include "training/tuner_thread.h"

#include <QJsonObject>

#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "training/training_math.h"

namespace quorlan {

YoloTunerThread::YoloTunerThread(const QVariantMap& p, QObject* parent) : QThread(parent), params(p) {}

YoloTunerThread::~YoloTunerThread() {
  abort();
  wait();
}

void YoloTunerThread::run() {
  if (!HAS_YOLO()) {
    emit error_signal("Ultralytics library is not installed.");
    return;
  }
  QString engine_error;
  bool tuned = false;
  const QString failure = run_engine_request(
      {{"cmd", "tune"}, {"params", QJsonObject::fromVariantMap(params)}},
      [this](const QString& text) { emit log_signal(text); },
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == "tuned") tuned = true;
        if (kind == "error") engine_error = event["text"].toString();
        return kind == "tuned" || kind == "error";
      },
      nullptr, &is_aborted);
  if (!failure.isEmpty() || !engine_error.isEmpty()) {
    emit error_signal(failure.isEmpty() ? engine_error : failure);
    return;
  }
  if (!tuned) return;
  const QString newest = newest_file_named(params.value("project").toString(), "best_hyperparameters.yaml");
  if (newest.isEmpty()) {
    emit error_signal("AutoML tuning failed to generate hyperparameter manifest.");
    return;
  }
  QString error;
  const std::optional<QVariantMap> best = read_yaml_mapping(newest, &error);
  if (!best) {
    emit error_signal(error);
    return;
  }
  emit finished_signal(*best);
}

}  // namespace quorlan

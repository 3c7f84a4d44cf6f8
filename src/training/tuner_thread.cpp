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
  QJsonObject done;
  const EngineRun::Result result =
      engine_.command({{"cmd", "tune"}, {"params", QJsonObject::fromVariantMap(params)}}, "tuned", &done,
                      [this](const QString& text) { emit log_signal(text); });
  if (result.end == EngineRun::End::Cancelled) return;  // the window is closing: no box, and the host is gone
  if (result.end == EngineRun::End::Failed) {
    emit error_signal(result.error);
    return;
  }
  const QString newest = newest_file_named(params.value("project").toString(), "best_hyperparameters.yaml");
  if (newest.isEmpty()) {
    emit error_signal("AutoML tuning failed to generate hyperparameter manifest.");
    return;
  }
  const Expected<QVariantMap> best = read_yaml_mapping(newest);
  if (!best) {
    emit error_signal(best.error());
    return;
  }
  emit finished_signal(*best);
}

}  // namespace quorlan

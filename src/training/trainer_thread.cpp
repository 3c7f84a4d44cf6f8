#include "training/trainer_thread.h"

#include <QElapsedTimer>

#include <QJsonObject>

#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "training/training_math.h"

namespace quorlan {

YoloTrainerThread::YoloTrainerThread(const TrainParams& p, QObject* parent) : QThread(parent), params(p) {}

YoloTrainerThread::~YoloTrainerThread() {
  abort();
  wait();
}

void YoloTrainerThread::stop() { is_stopped.store(true); }

void YoloTrainerThread::abort() {
  is_stopped.store(true);
  is_aborted.store(true);
}

void YoloTrainerThread::run() {
  if (!HAS_YOLO()) {
    emit error_signal("Ultralytics library is not installed.");
    return;
  }
  QElapsedTimer clock;
  clock.start();
  QJsonObject request{{"cmd", "train"}, {"params", QJsonObject::fromVariantMap(params)}};
  const QString failure = run_engine_request(
      request, [this](const QString& text) { emit log_signal(text); },
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == "epoch") {
          const int ep = event["epoch"].toInt();
          const int tot = event["epochs"].toInt();
          emit progress_signal(progress_percent(ep, tot), epoch_status_text(ep, tot, clock.nsecsElapsed() / 1e9),
                               QString());
          return false;
        }
        if (kind == "validating") {
          emit progress_signal(100, "Evaluating Validation Metrics...", QString());
          return false;
        }
        if (kind == "finished") {
          emit finished_signal(QVariantMap{{"metrics", event["metrics"].toObject().toVariantMap()},
                                           {"save_dir", event["save_dir"].toString()}});
          return true;
        }
        if (kind == "stopped") {
          emit stopped_signal();
          return true;
        }
        if (kind == "error") {
          emit error_signal(event["text"].toString());
          return true;
        }
        return false;
      },
      &is_stopped, &is_aborted);
  if (is_aborted.load() && failure == QLatin1String("Aborted."))
    emit stopped_signal();
  else if (!failure.isEmpty())
    emit error_signal(failure);
}

}  // namespace quorlan

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
  // The run's end is only recorded here: it is signalled once run_engine_request has returned,
  // that is after the host process is gone, so a new run can start as soon as the tab hears it.
  enum class End { None, Finished, Stopped, Error } end = End::None;
  QVariantMap record;
  QString engine_error;
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
          end = End::Finished;
          record = QVariantMap{{"metrics", event["metrics"].toObject().toVariantMap()},
                               {"save_dir", event["save_dir"].toString()}};
          return true;
        }
        if (kind == "stopped") {
          end = End::Stopped;
          return true;
        }
        if (kind == "error") {
          end = End::Error;
          engine_error = event["text"].toString();
          return true;
        }
        return false;
      },
      &is_stopped, &is_aborted);
  if (is_aborted.load() && failure == QLatin1String("Aborted.")) end = End::Stopped;
  else if (!failure.isEmpty()) {
    end = End::Error;
    engine_error = failure;
  }
  switch (end) {
    case End::Finished: emit finished_signal(record); break;
    case End::Stopped: emit stopped_signal(); break;
    case End::Error: emit error_signal(engine_error); break;
    case End::None: emit error_signal(QStringLiteral("The engine ended the run without a result.")); break;
  }
}

}  // namespace quorlan

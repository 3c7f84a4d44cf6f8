#include "training/trainer_thread.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

#include "training/engine_host.h"
#include "training/training_math.h"

namespace quorlan {

QString run_engine_request(const QJsonObject& request, const std::function<void(const QString&)>& log,
                           const std::function<bool(const QJsonObject&)>& on_event,
                           const std::atomic<bool>* stop_requested, const std::atomic<bool>* abort_requested) {
  EngineSession session;
  QEventLoop loop;
  QString failure;
  bool over = false;
  QObject::connect(&session, &EngineSession::console_signal, &loop, [&](const QString& text) { log(text); });
  QObject::connect(&session, &EngineSession::event_signal, &loop, [&](const QJsonObject& event) {
    if (over) return;
    if (on_event(event)) {
      over = true;
      loop.quit();
    }
  });
  QObject::connect(&session, &EngineSession::died_signal, &loop, [&](const QString& text) {
    if (over) return;
    over = true;
    failure = text;
    loop.quit();
  });
  QTimer poll;
  bool stop_sent = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (abort_requested && abort_requested->load() && !over) {
      over = true;
      failure = QStringLiteral("Aborted.");
      loop.quit();
    } else if (stop_requested && !stop_sent && stop_requested->load()) {
      stop_sent = true;
      session.send({{"cmd", "stop"}});
    }
  });
  poll.start(25);
  if (!session.start(&failure)) return failure;
  session.send(request);
  loop.exec();
  session.finish(over && failure == QLatin1String("Aborted.") ? 0 : 3000);
  return failure;
}

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

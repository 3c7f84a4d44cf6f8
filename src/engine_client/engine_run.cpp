#include "engine_client/engine_run.h"

#include <optional>

#include <QEventLoop>
#include <QTimer>

#include "core/constants.h"
#include "engine_client/engine_host.h"

namespace quorlan {

EngineRun::Result EngineRun::run(const QJsonObject& request, const std::function<void(const QString&)>& log,
                                 const std::function<bool(const QJsonObject&)>& on_event,
                                 const std::function<void()>& tick) {
  Result result;
  if (cancel_requested()) {
    result.end = End::Cancelled;
    return result;
  }
  EngineSession session;
  QEventLoop loop;
  bool over = false;
  const auto end_as = [&](End end, const QString& error) {
    if (over) return;
    over = true;
    result.end = end;
    result.error = clean_console_text(error);
    loop.quit();
  };
  QObject::connect(&session, &EngineSession::console_signal, &loop, [&](const QString& text) { log(text); });
  QObject::connect(&session, &EngineSession::event_signal, &loop, [&](const QJsonObject& event) {
    if (!over && on_event(event)) end_as(End::Completed, {});
  });
  QObject::connect(&session, &EngineSession::died_signal, &loop,
                   [&](const QString& text) { end_as(End::Failed, text); });
  QObject::connect(&session, &EngineSession::protocol_error_signal, &loop,
                   [&](const QString& text) { end_as(End::Failed, text); });
  // A stop or a cancel from another thread is seen here within 25 ms.
  QTimer poll;
  bool stop_sent = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (cancel_requested()) {
      end_as(End::Cancelled, {});
    } else if (stop_requested() && !stop_sent) {
      stop_sent = true;
      session.send({{"cmd", "stop"}});
    }
  });
  poll.start(25);
  QTimer ticker;
  if (tick) {
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
      if (!over) tick();
    });
    ticker.start(500);
  }
  if (const Status started = session.start(); !started) {
    result.end = End::Failed;
    result.error = started.error();
    return result;
  }
  session.send(request);
  loop.exec();
  // A cancelled host is ended at once; otherwise it gets a moment to close.
  session.finish(result.end == End::Cancelled ? 0 : 3000);
  return result;
}

EngineRun::Result EngineRun::command(const QJsonObject& request, const QString& done_event, QJsonObject* done,
                                     const std::function<void(const QString&)>& log,
                                     const std::function<void()>& tick) {
  std::optional<QString> engine_error;
  Result result = run(
      request, log,
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == done_event) *done = event;
        if (kind == QLatin1String("error")) {
          // An error is a failure even when the engine gave no text for it.
          const QString text = clean_console_text(event["text"].toString()).trimmed();
          engine_error = text.isEmpty() ? QStringLiteral("The engine reported an error without a message.") : text;
        }
        return kind == done_event || kind == QLatin1String("error");
      },
      tick);
  if (result.end == End::Completed && engine_error) {
    result.end = End::Failed;
    result.error = *engine_error;
  }
  return result;
}

EngineRun::Result EngineRun::train(const QJsonObject& params, Training* training,
                                   const std::function<void(const QString&)>& log,
                                   const std::function<void(const TrainStep&)>& on_step,
                                   const std::function<void()>& tick) {
  const int epochs = params["epochs"].toInt();
  return run(
      {{"cmd", "train"}, {"params", params}}, log,
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == QLatin1String("batches") && on_step) on_step({TrainStep::Kind::Batches, 0, epochs, {}});
        if (kind == QLatin1String("epoch") && on_step)
          on_step({TrainStep::Kind::Epoch, event["epoch"].toInt(), event["epochs"].toInt(epochs),
                   event["save_dir"].toString()});
        if (kind == QLatin1String("validating") && on_step) on_step({TrainStep::Kind::Validating, 0, epochs, {}});
        if (kind == QLatin1String("finished")) training->finished = event;
        if (kind == QLatin1String("stopped")) training->stopped = true;
        if (kind == QLatin1String("error")) {
          // An error is a failure even when the engine gave no text for it.
          const QString text = clean_console_text(event["text"].toString()).trimmed();
          training->error = text.isEmpty() ? QStringLiteral("The engine reported an error without a message.") : text;
        }
        return kind == QLatin1String("finished") || kind == QLatin1String("stopped") || kind == QLatin1String("error");
      },
      tick);
}

}  // namespace quorlan

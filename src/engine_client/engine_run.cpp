#include "engine_client/engine_run.h"

#include <optional>

#include <QElapsedTimer>

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
  bool over = false;
  const auto end_as = [&](End end, const QString& error) {
    if (over) return;
    over = true;
    result.end = end;
    result.error = clean_console_text(error);
  };
  QObject listening;  // the connections below end with this run
  QObject::connect(&session, &EngineSession::console_signal, &listening, [&](const QString& text) { log(text); });
  QObject::connect(&session, &EngineSession::event_signal, &listening, [&](const QJsonObject& event) {
    if (!over && on_event(event)) end_as(End::Completed, {});
  });
  QObject::connect(&session, &EngineSession::died_signal, &listening,
                   [&](const QString& text) { end_as(End::Failed, text); });
  QObject::connect(&session, &EngineSession::protocol_error_signal, &listening,
                   [&](const QString& text) { end_as(End::Failed, text); });
  if (const Status started = session.start(); !started) {
    result.end = End::Failed;
    result.error = started.error();
    return result;
  }
  session.send(request);
  // The host's output is read as it comes, without an event loop (its signals arrive within the
  // wait): a stop or a cancel from another thread is seen within 25 ms, `tick` comes about twice
  // a second.
  QElapsedTimer since_tick;
  since_tick.start();
  bool stop_sent = false;
  while (!over) {
    if (cancel_requested()) {
      end_as(End::Cancelled, {});
      break;
    }
    if (stop_requested() && !stop_sent) {
      stop_sent = true;
      session.send({{"cmd", "stop"}});
    }
    if (tick && since_tick.elapsed() >= 500) {
      since_tick.restart();
      tick();
    }
    if (!session.wait_for_output(25) && !session.running())
      end_as(End::Failed, QStringLiteral("The engine process ended.\n") + session.console_tail());
  }
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

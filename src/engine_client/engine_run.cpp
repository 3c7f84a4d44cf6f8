#include "engine_client/engine_run.h"

#include <optional>

#include <QElapsedTimer>

#include "core/constants.h"
#include "engine_client/engine_host.h"

namespace quorlan {

namespace {

// The engine's "error" event: a failure even when the engine gave no text for it.
QString engine_error_text(const QJsonObject& event) {
  const QString text = clean_console_text(event["text"].toString()).trimmed();
  return text.isEmpty() ? QStringLiteral("The engine reported an error without a message.") : text;
}

}  // namespace

Expected<EngineRun::End> EngineRun::run(const QJsonObject& request, const std::function<void(const QString&)>& log,
                                        const std::function<bool(const QJsonObject&)>& on_event,
                                        const std::function<void()>& tick) {
  if (cancel_requested()) return End::Cancelled;
  EngineSession session;
  bool over = false;
  Expected<End> result = End::Completed;
  const auto end_as = [&](Expected<End> end) {
    if (over) return;
    over = true;
    result = std::move(end);
  };
  const auto fail = [&](const QString& text) { end_as(failure(clean_console_text(text))); };
  QObject listening;  // the connections below end with this run
  QObject::connect(&session, &EngineSession::console_signal, &listening, [&](const QString& text) { log(text); });
  QObject::connect(&session, &EngineSession::event_signal, &listening, [&](const QJsonObject& event) {
    if (!over && on_event(event)) end_as(End::Completed);
  });
  QObject::connect(&session, &EngineSession::died_signal, &listening, fail);
  QObject::connect(&session, &EngineSession::protocol_error_signal, &listening, fail);
  if (const Status started = session.start(); !started) return failure(started.error());
  session.send(request);
  // The host's output is read as it comes, without an event loop (its signals arrive within the
  // wait): a stop or a cancel from another thread is seen within 25 ms, `tick` comes about twice
  // a second.
  QElapsedTimer since_tick;
  since_tick.start();
  bool stop_sent = false;
  while (!over) {
    if (cancel_requested()) {
      end_as(End::Cancelled);
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
      fail(QStringLiteral("The engine process ended.\n") + session.console_tail());
  }
  // A cancelled host is ended at once; otherwise it gets a moment to close.
  session.finish(result && *result == End::Cancelled ? 0 : 3000);
  return result;
}

Expected<EngineRun::Reply> EngineRun::command(const QJsonObject& request, const QString& done_event,
                                              const std::function<void(const QString&)>& log,
                                              const std::function<void()>& tick) {
  Reply reply;
  std::optional<QString> engine_error;
  const Expected<End> end = run(
      request, log,
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == done_event) reply.done = event;
        if (kind == QLatin1String("error")) engine_error = engine_error_text(event);
        return kind == done_event || kind == QLatin1String("error");
      },
      tick);
  if (!end) return failure(end.error());
  if (*end == End::Completed && engine_error) return failure(*engine_error);
  reply.end = *end;
  return reply;
}

Expected<EngineRun::Training> EngineRun::train(const QJsonObject& params,
                                               const std::function<void(const QString&)>& log,
                                               const std::function<void(const TrainStep&)>& on_step,
                                               const std::function<void()>& tick) {
  const int epochs = params["epochs"].toInt();
  Training training;
  std::optional<QString> engine_error;
  const Expected<End> end = run(
      {{"cmd", "train"}, {"params", params}}, log,
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == QLatin1String("batches") && on_step) on_step({TrainStep::Kind::Batches, 0, epochs, {}});
        if (kind == QLatin1String("epoch") && on_step)
          on_step({TrainStep::Kind::Epoch, event["epoch"].toInt(), event["epochs"].toInt(epochs),
                   event["save_dir"].toString()});
        if (kind == QLatin1String("validating") && on_step) on_step({TrainStep::Kind::Validating, 0, epochs, {}});
        if (kind == QLatin1String("finished")) training.finished = event;
        if (kind == QLatin1String("stopped")) training.stopped = true;
        if (kind == QLatin1String("error")) engine_error = engine_error_text(event);
        return kind == QLatin1String("finished") || kind == QLatin1String("stopped") || kind == QLatin1String("error");
      },
      tick);
  if (!end) return failure(end.error());
  if (engine_error) return failure(*engine_error);
  training.cancelled = *end == End::Cancelled;
  return training;
}

}  // namespace quorlan

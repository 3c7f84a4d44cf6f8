#include "engine_client/engine_run.h"

#include <QEventLoop>
#include <QTimer>

#include "core/constants.h"
#include "engine_client/engine_host.h"

namespace quorlan {

QString run_engine_request(const QJsonObject& request, const std::function<void(const QString&)>& log,
                           const std::function<bool(const QJsonObject&)>& on_event,
                           const std::atomic<bool>* stop_requested, const std::atomic<bool>* abort_requested,
                           const std::function<void()>& tick) {
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
  const auto end_with = [&](const QString& text) {
    if (over) return;
    over = true;
    failure = text;
    loop.quit();
  };
  QObject::connect(&session, &EngineSession::died_signal, &loop, end_with);
  QObject::connect(&session, &EngineSession::protocol_error_signal, &loop, end_with);
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
  QTimer ticker;
  if (tick) {
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
      if (!over) tick();
    });
    ticker.start(500);
  }
  if (!session.start(&failure)) return failure;
  session.send(request);
  loop.exec();
  session.finish(over && failure == QLatin1String("Aborted.") ? 0 : 3000);
  return clean_console_text(failure);
}

QString run_engine_command(const QJsonObject& request, const QString& done_event, QJsonObject* done,
                           const std::function<void(const QString&)>& log, const std::atomic<bool>* abort_requested) {
  QString engine_error;
  const QString failure = run_engine_request(
      request, log,
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == done_event) *done = event;
        if (kind == QLatin1String("error")) engine_error = clean_console_text(event["text"].toString());
        return kind == done_event || kind == QLatin1String("error");
      },
      nullptr, abort_requested);
  return failure.isEmpty() ? engine_error : failure;
}

}  // namespace quorlan

#pragma once
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <functional>

namespace quorlan {

// Runs one request in a fresh engine host on the calling worker thread, relaying the console to
// `log` and each event to `on_event`, until `on_event` returns true (the run is over), the host
// dies, or `stop_requested` asks for a stop (sent to the host once). `abort_requested` ends the
// host at once and the run with "Aborted.". Returns an error text, or an empty string.
// `tick`, when given, is called about twice a second while the request runs.
QString run_engine_request(const QJsonObject& request, const std::function<void(const QString&)>& log,
                           const std::function<bool(const QJsonObject&)>& on_event,
                           const std::atomic<bool>* stop_requested = nullptr,
                           const std::atomic<bool>* abort_requested = nullptr, const std::function<void()>& tick = {});

// Runs a request that ends with one `done_event` (stored in *done) or the engine's "error"
// event; returns the failure text (the engine's message, a dead host, "Aborted."), or an
// empty string.
QString run_engine_command(const QJsonObject& request, const QString& done_event, QJsonObject* done,
                           const std::function<void(const QString&)>& log,
                           const std::atomic<bool>* abort_requested = nullptr);

}  // namespace quorlan

#pragma once
// The bridge to the engine: where its interpreter and host script are, whether the engine is
// installed, and one running host process spoken to in JSON lines.
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <optional>

#include "engine_client/console_stream.h"

#include "core/expected.h"

namespace quorlan {

// The interpreter: $QUORLAN_PYTHON, else the environment made by scripts/setup-engine, else python3.
QString engine_python();
// The host script beside the executable (or $QUORLAN_ENGINE_SCRIPT).
QString engine_host_script();

// Starts the availability checks in the background (called once at start-up).
void start_engine_probes();
// True when the interpreter can find the engine package. Asked without importing the engine,
// so it is known a fraction of a second after start-up; waits for the check if still running.
bool HAS_YOLO();
// The same without waiting: nullopt while the check is still running. The window asks this, and
// asks HAS_YOLO() only from work beside it.
std::optional<bool> engine_installed_if_known();
// True when the engine reports a CUDA device; asked of the engine in the background (waits for
// the answer: call it off the GUI thread, or after engine_cuda_devices_if_known has one).
bool engine_cuda_available();
// The device a run is given: "auto" becomes "cuda:0" when the engine has CUDA, else "cpu"; any
// other name stays. Waits like engine_cuda_available() for "auto".
QString resolved_device(const QString& device);
// The number of CUDA devices the engine reports (0 without CUDA); waits like the above.
int engine_cuda_devices();
// The same without waiting: nullopt while the background question is still open.
std::optional<int> engine_cuda_devices_if_known();
// Ends the checks still running (the studio is closing); they answer "no engine" at once.
void stop_engine_probes();
// Forgets the checks' results (tests that change the environment call it).
void reset_engine_probes();

// Starts `process` (not yet started) so that it leads a process group of its own: everything the
// engine starts (tuner iterations, data loader and multi-GPU workers) is then ended with it.
void start_in_own_group(QProcess& process, const QString& program, const QStringList& arguments);
// Ends the process group led by `pid` (the host and everything it started), if any is left.
void end_process_group(qint64 pid);

// One engine host process, the only one the studio has: runs (training, tuning, export) and the
// prediction host both use it. Lives in the thread that created it, which must run an event loop.
class EngineSession : public QObject {
  Q_OBJECT
 public:
  explicit EngineSession(QObject* parent = nullptr);
  ~EngineSession() override;

  // Starts the host; the reason when the interpreter cannot be started.
  Status start();
  void send(const QJsonObject& request);
  // Closes the host's input and waits for it to end, killing it after `grace_ms`.
  void finish(int grace_ms = 3000);
  // The last console lines the host printed (for the message when it dies).
  QString console_tail() const;
  bool running() const { return process_.state() == QProcess::Running; }
  // For a host spoken to without an event loop: waits at most `ms` for output, whose signals are
  // sent within the wait. False when none came (or the host is gone).
  bool wait_for_output(int ms) { return process_.waitForReadyRead(ms); }

 signals:
  void event_signal(const QJsonObject& event);
  void console_signal(const QString& text);
  // The host ended without being asked to; the text says how, with its last console lines.
  void died_signal(const QString& text);
  // The host wrote a line that is not a JSON object: the protocol is broken.
  void protocol_error_signal(const QString& text);

 private:
  void read_events();
  void read_console();

  QProcess process_;
  ConsoleStream console_;
  QString tail_;
  qint64 pid_ = 0;
  bool finishing_ = false;
};

}  // namespace quorlan

#include "engine_client/engine_host.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFuture>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <mutex>

#ifdef Q_OS_UNIX
#include <unistd.h>
#include <csignal>
#endif

#include "core/shipped_files.h"
#include "core/work_pool.h"

namespace quorlan {

QString engine_python() {
  const QString chosen = qEnvironmentVariable("QUORLAN_PYTHON");
  if (!chosen.isEmpty()) return chosen;
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty()) cache = QDir::home().filePath(".cache");
  const QString venv_python = QDir(cache).filePath("quorlan-studio/engine-venv/bin/python");
  if (QFileInfo(venv_python).isExecutable()) return venv_python;
  return QStringLiteral("python3");
}

QString engine_host_script() {
  const QString chosen = qEnvironmentVariable("QUORLAN_ENGINE_SCRIPT");
  if (!chosen.isEmpty()) return chosen;
  return shipped_file("quorlan_engine.py");
}

namespace {

std::atomic<bool>& probes_stopped() {
  static std::atomic<bool> stopped{false};
  return stopped;
}

// Runs `python -c code` and returns its exit code and standard output (-1 when it did not run, or
// was stopped because the studio is closing).
std::pair<int, QByteArray> run_python(const QString& code, int timeout_ms) {
  QProcess p;
  p.start(engine_python(), {"-c", code});
  QElapsedTimer clock;
  clock.start();
  bool ended = p.waitForStarted(timeout_ms);
  while (ended && !p.waitForFinished(100)) {
    if (probes_stopped() || clock.elapsed() > timeout_ms) ended = false;
  }
  if (!ended) {
    p.kill();
    p.waitForFinished(1000);
    return {-1, {}};
  }
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput()};
}

// The two questions put to the interpreter, each asked once on the work pool and answered to
// whoever asks after (a finished QFuture answers at once, from any thread).
struct Probes {
  std::mutex mutex;
  QFuture<bool> has_yolo;
  QFuture<int> cuda;
};

Probes& probes() {
  static Probes p;
  return p;
}

QFuture<bool> yolo_probe() {
  return QtConcurrent::run(&work_pool(), [] {
    return run_python("import importlib.util, sys; sys.exit(0 if importlib.util.find_spec('ultralytics') else 1)",
                      30000)
               .first == 0;
  });
}

QFuture<int> cuda_probe() {
  return QtConcurrent::run(&work_pool(), [] {
    const auto [code, out] =
        run_python("import torch; print(torch.cuda.device_count() if torch.cuda.is_available() else 0)", 120000);
    bool ok = false;
    const int count = out.trimmed().toInt(&ok);
    return code == 0 && ok ? count : 0;
  });
}

// The probe of `which`, started when nobody started it yet.
template <typename T>
QFuture<T> probe(QFuture<T> Probes::*which, QFuture<T> (*start)()) {
  Probes& p = probes();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (!(p.*which).isValid()) p.*which = start();
  return p.*which;
}

}  // namespace

void start_engine_probes() {
  probe(&Probes::has_yolo, yolo_probe);
  probe(&Probes::cuda, cuda_probe);
}

void stop_engine_probes() { probes_stopped() = true; }

void reset_engine_probes() {
  Probes& p = probes();
  std::lock_guard<std::mutex> lock(p.mutex);
  probes_stopped() = false;
  p.has_yolo = {};
  p.cuda = {};
}

bool HAS_YOLO() { return probe(&Probes::has_yolo, yolo_probe).result(); }

std::optional<bool> engine_installed_if_known() {
  const QFuture<bool> f = probe(&Probes::has_yolo, yolo_probe);
  if (!f.isFinished()) return std::nullopt;
  return f.result();
}

bool engine_cuda_available() { return engine_cuda_devices() > 0; }

QString resolved_device(const QString& device) {
  if (device != QLatin1String("auto")) return device;
  return engine_cuda_available() ? QStringLiteral("cuda:0") : QStringLiteral("cpu");
}

std::optional<int> engine_cuda_devices_if_known() {
  const std::optional<bool> installed = engine_installed_if_known();
  if (!installed) return std::nullopt;
  if (!*installed) return 0;
  const QFuture<int> f = probe(&Probes::cuda, cuda_probe);
  if (!f.isFinished()) return std::nullopt;
  return f.result();
}

int engine_cuda_devices() {
  if (!HAS_YOLO()) return 0;
  return probe(&Probes::cuda, cuda_probe).result();
}

void start_in_own_group(QProcess& process, const QString& program, const QStringList& arguments) {
#ifdef Q_OS_UNIX
  process.setChildProcessModifier([] { ::setsid(); });
#endif
  process.start(program, arguments);
}

void end_process_group(qint64 pid) {
#ifdef Q_OS_UNIX
  if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
#else
  Q_UNUSED(pid);
#endif
}

// ---------------------------------------------------------------- EngineSession

EngineSession::EngineSession(QObject* parent)
    : QObject(parent), console_([this](const QString& text) {
        tail_ += text;
        if (tail_.size() > 4000) tail_ = tail_.right(2000);
        emit console_signal(text);
      }) {
  connect(&process_, &QProcess::readyReadStandardOutput, this, &EngineSession::read_events);
  connect(&process_, &QProcess::readyReadStandardError, this, &EngineSession::read_console);
  connect(&process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
    read_console();
    read_events();
    console_.flush();
    end_process_group(pid_);  // whatever the host started goes with it
    if (finishing_) return;
    const QString how = status == QProcess::CrashExit
                            ? QStringLiteral("The engine process crashed")
                            : QStringLiteral("The engine process ended (exit code %1)").arg(code);
    const QString last = console_tail();
    emit died_signal(last.isEmpty() ? how + "." : how + ". Its last output:\n" + last);
  });
}

EngineSession::~EngineSession() { finish(1000); }

Status EngineSession::start() {
  start_in_own_group(process_, engine_python(), {"-u", engine_host_script()});
  if (!process_.waitForStarted(30000))
    return failure(
        QStringLiteral("The engine could not be started with %1: %2").arg(engine_python(), process_.errorString()));
  pid_ = process_.processId();
  return {};
}

void EngineSession::send(const QJsonObject& request) {
  if (process_.state() != QProcess::Running) return;
  process_.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
}

void EngineSession::finish(int grace_ms) {
  finishing_ = true;
  if (process_.state() != QProcess::NotRunning) {
    process_.closeWriteChannel();
    if (grace_ms <= 0 || !process_.waitForFinished(grace_ms)) {
      end_process_group(pid_);
      process_.kill();
      process_.waitForFinished(2000);
    }
  }
  end_process_group(pid_);
  pid_ = 0;
}

QString EngineSession::console_tail() const {
  QStringList lines = tail_.split('\n', Qt::SkipEmptyParts);
  if (lines.size() > 12) lines = lines.mid(lines.size() - 12);
  return lines.join('\n');
}

void EngineSession::read_events() {
  while (process_.canReadLine()) {
    const QByteArray line = process_.readLine().trimmed();
    if (line.isEmpty()) continue;
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    if (doc.isObject())
      emit event_signal(doc.object());
    else
      emit protocol_error_signal(QStringLiteral("The engine sent a line that is not a JSON object: %1")
                                     .arg(QString::fromUtf8(line.left(200))));
  }
}

void EngineSession::read_console() {
  process_.setReadChannel(QProcess::StandardError);
  const QByteArray bytes = process_.readAllStandardError();
  process_.setReadChannel(QProcess::StandardOutput);
  if (!bytes.isEmpty()) console_.write_bytes(bytes);
}

}  // namespace quorlan

#include "inference/export_thread.h"

#include <QJsonObject>

#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "inference/export_artifact.h"

namespace quorlan {

ExportThread::ExportThread(const QString& weights, const QString& format, const QString& folder, QObject* parent)
    : QThread(parent), mp(weights), fs(format), ed(folder) {}

ExportThread::~ExportThread() {
  abort();
  wait();
}

void ExportThread::run() {
  if (!HAS_YOLO()) {
    emit error_signal("Ultralytics library is not installed.");
    return;
  }
  QString artifact, engine_error;
  const QString failure = run_engine_request(
      {{"cmd", "export"}, {"weights", mp}, {"format", fs}}, [](const QString&) {},
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == "exported") artifact = event["path"].toString();
        if (kind == "error") engine_error = event["text"].toString();
        return kind == "exported" || kind == "error";
      },
      nullptr, &is_aborted);
  if (!failure.isEmpty() || !engine_error.isEmpty()) {
    emit error_signal(failure.isEmpty() ? engine_error : failure);
    return;
  }
  QString error;
  const QString destination = move_export_artifact(artifact, ed, &error);
  if (destination.isEmpty())
    emit error_signal(error);
  else
    emit finished_signal(destination);
}

}  // namespace quorlan

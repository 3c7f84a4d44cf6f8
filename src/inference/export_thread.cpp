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
  QJsonObject done;
  const EngineRun::Result result =
      engine_.command({{"cmd", "export"}, {"weights", mp}, {"format", fs}}, "exported", &done, [](const QString&) {});
  if (result.end == EngineRun::End::Cancelled) return;  // the window is closing: no box, and the host is gone
  if (result.end == EngineRun::End::Failed) {
    emit error_signal(result.error);
    return;
  }
  const Expected<QString> destination = move_export_artifact(done["path"].toString(), ed);
  if (!destination)
    emit error_signal(destination.error());
  else
    emit finished_signal(*destination);
}

}  // namespace quorlan

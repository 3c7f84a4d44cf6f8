#include "inference/export_thread.h"

#include <QJsonObject>

#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "inference/export_artifact.h"

namespace quorlan {

ExportThread::ExportThread(const QString& weights, const QString& format, const QString& folder, QObject* parent)
    : EngineJob(parent), mp(weights), fs(format), ed(folder) {}

EngineJob::Work ExportThread::work() const {
  return [weights = mp, format = fs, folder = ed](EngineRun& engine, const Post& post) {
    const auto fail = [&post](const QString& text) {
      post([text](EngineJob& job) { emit static_cast<ExportThread&>(job).error_signal(text); });
    };
    if (!HAS_YOLO()) return fail(QStringLiteral("Ultralytics library is not installed."));
    const Expected<EngineRun::Reply> reply = engine.command(
        {{"cmd", "export"}, {"weights", weights}, {"format", format}}, "exported", [](const QString&) {});
    if (!reply) return fail(reply.error());
    if (reply->end == EngineRun::End::Cancelled) return;  // the window is closing: no box, and the host is gone
    const Expected<QString> destination = move_export_artifact(reply->done["path"].toString(), folder);
    if (!destination) return fail(destination.error());
    post([path = *destination](EngineJob& job) { emit static_cast<ExportThread&>(job).finished_signal(path); });
  };
}

}  // namespace quorlan

#include "training/tuner_thread.h"

#include <QJsonObject>

#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "training/training_math.h"

namespace quorlan {

YoloTunerThread::YoloTunerThread(const QVariantMap& p, QObject* parent) : EngineJob(parent), params(p) {}

EngineJob::Work YoloTunerThread::work() const {
  return [params = params](EngineRun& engine, const Post& post) {
    const auto fail = [&post](const QString& text) {
      post([text](EngineJob& job) { emit static_cast<YoloTunerThread&>(job).error_signal(text); });
    };
    if (!HAS_YOLO()) return fail(QStringLiteral("Ultralytics library is not installed."));
    const Expected<EngineRun::Reply> reply = engine.command(
        {{"cmd", "tune"}, {"params", QJsonObject::fromVariantMap(params)}}, "tuned", [&post](const QString& text) {
          post([text](EngineJob& job) { emit static_cast<YoloTunerThread&>(job).log_signal(text); });
        });
    if (!reply) return fail(reply.error());
    if (reply->end == EngineRun::End::Cancelled) return;  // the window is closing: no box, and the host is gone
    const QString newest = newest_file_named(params.value("project").toString(), "best_hyperparameters.yaml");
    if (newest.isEmpty()) return fail(QStringLiteral("AutoML tuning failed to generate hyperparameter manifest."));
    const Expected<QVariantMap> best = read_yaml_mapping(newest);
    if (!best) return fail(best.error());
    post([best = *best](EngineJob& job) { emit static_cast<YoloTunerThread&>(job).finished_signal(best); });
  };
}

}  // namespace quorlan

#include "engine_client/engine_job.h"

#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include "core/work_pool.h"

namespace quorlan {

// Lives on the job's thread for as long as the work holds it; calls reach the job through it, and
// only while the job is there.
class EngineJob::Relay : public QObject {
 public:
  explicit Relay(EngineJob* job) : job_(job) {}
  void post(std::function<void(EngineJob&)> call) {
    QMetaObject::invokeMethod(
        this,
        [this, call = std::move(call)] {
          if (job_) call(*job_);
        },
        Qt::QueuedConnection);
  }

 private:
  QPointer<EngineJob> job_;
};

EngineJob::EngineJob(QObject* parent) : QObject(parent) {}

EngineJob::~EngineJob() { abort(); }

void EngineJob::abort() {
  engine_->stop();
  engine_->cancel();
}

void EngineJob::start() {
  if (future_.isValid()) return;
  // The relay goes on the job's thread once the work has let go of it, after every call it posted.
  relay_ = std::shared_ptr<Relay>(new Relay(this), [](Relay* relay) { relay->deleteLater(); });
  future_ = QtConcurrent::run(&work_pool(), [engine = engine_, relay = relay_, work = work()] {
    work(*engine, [&relay](std::function<void(EngineJob&)> call) { relay->post(std::move(call)); });
  });
}

}  // namespace quorlan

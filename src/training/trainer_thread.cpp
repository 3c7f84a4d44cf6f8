#include "training/trainer_thread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <QJsonObject>

#include "core/constants.h"
#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "training/live_chart.h"
#include "training/training_math.h"

namespace quorlan {

YoloTrainerThread::YoloTrainerThread(const TrainParams& p, QObject* parent) : EngineJob(parent), params(p) {}

namespace {

// The run's live chart, drawn from the engine's results.csv in the run folder when it has rows
// not yet drawn.
class LiveChart {
 public:
  explicit LiveChart(QString run_dir) : run_dir_(std::move(run_dir)) {}
  void move_to(const QString& run_dir) { run_dir_ = run_dir; }
  // What results.csv holds now, read once: its rows, whether they are more than those drawn before,
  // and the chart drawn of them (empty while there is none).
  struct Drawn {
    int rows = 0;
    bool grew = false;
    QString png;
  };
  Drawn draw() {
    Drawn out;
    const auto table = read_results_csv(QDir(run_dir_).filePath("results.csv"));
    if (!table || table->rows.isEmpty()) return out;
    out.rows = static_cast<int>(table->rows.size());
    out.grew = out.rows > rows_;
    const QString png = QDir(run_dir_).filePath(live_chart_name());
    if (out.rows == rows_ && QFileInfo::exists(png)) {
      out.png = png;
      return out;
    }
    if (!render_loss_chart(*table, png).isEmpty()) return out;
    rows_ = out.rows;
    out.png = png;
    return out;
  }

 private:
  QString run_dir_;
  int rows_ = 0;
};

}  // namespace

EngineJob::Work YoloTrainerThread::work() const {
  return [params = params](EngineRun& engine, const Post& post) {
    const auto say = [&post](auto signal, auto... args) {
      post([=](EngineJob& job) { emit(static_cast<YoloTrainerThread&>(job).*signal)(args...); });
    };
    if (!HAS_YOLO())
      return say(&YoloTrainerThread::error_signal, QStringLiteral("Ultralytics library is not installed."));
    TrainParams run_params = params;
    run_params["device"] = resolved_device(run_params.value("device").toString());
    const int epochs = run_params.value("epochs").toInt();
    QElapsedTimer clock;
    clock.start();
    LiveChart chart(QDir(run_params.value("project").toString()).filePath(run_params.value("name").toString()));
    const auto progress = [&](int epoch, int of, const QString& png) {
      say(&YoloTrainerThread::progress_signal, progress_percent(epoch, of),
          epoch_status_text(epoch, of, clock.nsecsElapsed() / 1e9), png);
    };
    bool epoch_events = false;
    const Expected<EngineRun::Training> trained = engine.train(
        QJsonObject::fromVariantMap(run_params),
        [&](const QString& text) { say(&YoloTrainerThread::log_signal, text); },
        [&](const EngineRun::TrainStep& step) {
          epoch_events = true;  // the engine's callbacks arrive: results.csv need not be followed
          if (step.kind == EngineRun::TrainStep::Kind::Validating)
            say(&YoloTrainerThread::progress_signal, 100, QStringLiteral("Evaluating Validation Metrics..."),
                QString());
          if (step.kind != EngineRun::TrainStep::Kind::Epoch) return;
          if (!step.save_dir.isEmpty()) chart.move_to(step.save_dir);
          progress(step.epoch, step.epochs, chart.draw().png);
        },
        [&] {
          // Under multi-GPU training the engine's callbacks do not reach the host: the progress
          // then follows results.csv in the run folder.
          if (epoch_events || engine.stop_requested()) return;
          if (const LiveChart::Drawn drawn = chart.draw(); drawn.grew) progress(drawn.rows, epochs, drawn.png);
        });
    // The end is said once the engine run has returned, that is after the host process is gone,
    // so a new run can start as soon as the tab hears it.
    if (!trained) return say(&YoloTrainerThread::error_signal, trained.error());
    const EngineRun::Training& training = *trained;
    if (training.cancelled || training.stopped) return say(&YoloTrainerThread::stopped_signal);
    if (training.finished.isEmpty())
      return say(&YoloTrainerThread::error_signal, QStringLiteral("The engine ended the run without a result."));
    say(&YoloTrainerThread::finished_signal,
        QVariant(QVariantMap{{"metrics", training.finished["metrics"].toObject().toVariantMap()},
                             {"save_dir", training.finished["save_dir"].toString()}}));
  };
}

}  // namespace quorlan

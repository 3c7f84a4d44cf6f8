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

YoloTrainerThread::YoloTrainerThread(const TrainParams& p, QObject* parent) : QThread(parent), params(p) {}

YoloTrainerThread::~YoloTrainerThread() {
  abort();
  wait();
}

void YoloTrainerThread::stop() { engine_.stop(); }

void YoloTrainerThread::abort() {
  engine_.stop();
  engine_.cancel();
}

void YoloTrainerThread::run() {
  if (!HAS_YOLO()) {
    emit error_signal("Ultralytics library is not installed.");
    return;
  }
  TrainParams run_params = params;
  run_params["device"] = resolved_device(run_params.value("device").toString());
  QElapsedTimer clock;
  clock.start();
  // The run's end is only recorded here: it is signalled once the engine run has returned,
  // that is after the host process is gone, so a new run can start as soon as the tab hears it.
  enum class End { None, Finished, Stopped, Error } end = End::None;
  // The run folder, where the engine's results.csv grows and the live chart is drawn.
  QString run_dir = QDir(run_params.value("project").toString()).filePath(run_params.value("name").toString());
  bool epoch_events = false;
  int charted_rows = 0;
  // Draws the chart from results.csv when it has new rows; the chart's path, or empty.
  const auto chart = [&]() -> QString {
    const auto table = read_results_csv(QDir(run_dir).filePath("results.csv"));
    if (!table || table->rows.isEmpty()) return {};
    const QString png = QDir(run_dir).filePath(live_chart_name());
    if (table->rows.size() == charted_rows && QFileInfo::exists(png)) return png;
    if (!render_loss_chart(*table, png).isEmpty()) return {};
    charted_rows = static_cast<int>(table->rows.size());
    return png;
  };
  QVariantMap record;
  QString engine_error;
  QJsonObject request{{"cmd", "train"}, {"params", QJsonObject::fromVariantMap(run_params)}};
  const EngineRun::Result result = engine_.run(
      request, [this](const QString& text) { emit log_signal(text); },
      [&](const QJsonObject& event) {
        const QString kind = event["event"].toString();
        if (kind == "batches") {
          epoch_events = true;  // the engine's callbacks arrive: results.csv need not be followed
          return false;
        }
        if (kind == "epoch") {
          epoch_events = true;
          const int ep = event["epoch"].toInt();
          const int tot = event["epochs"].toInt();
          if (!event["save_dir"].toString().isEmpty()) run_dir = event["save_dir"].toString();
          emit progress_signal(progress_percent(ep, tot), epoch_status_text(ep, tot, clock.nsecsElapsed() / 1e9),
                               chart());
          return false;
        }
        if (kind == "validating") {
          emit progress_signal(100, "Evaluating Validation Metrics...", QString());
          return false;
        }
        if (kind == "finished") {
          end = End::Finished;
          record = QVariantMap{{"metrics", event["metrics"].toObject().toVariantMap()},
                               {"save_dir", event["save_dir"].toString()}};
          return true;
        }
        if (kind == "stopped") {
          end = End::Stopped;
          return true;
        }
        if (kind == "error") {
          end = End::Error;
          engine_error = clean_console_text(event["text"].toString());
          return true;
        }
        return false;
      },
      [&] {
        // Under multi-GPU training the engine's callbacks do not reach the host: the progress
        // then follows results.csv in the run folder.
        if (epoch_events || engine_.stop_requested()) return;
        const auto table = read_results_csv(QDir(run_dir).filePath("results.csv"));
        if (!table || table->rows.size() <= charted_rows) return;
        const int ep = static_cast<int>(table->rows.size());
        const int tot = run_params.value("epochs").toInt();
        const QString png = chart();
        emit progress_signal(progress_percent(ep, tot), epoch_status_text(ep, tot, clock.nsecsElapsed() / 1e9), png);
      });
  if (result.end == EngineRun::End::Cancelled) {
    end = End::Stopped;
  } else if (result.end == EngineRun::End::Failed) {
    end = End::Error;
    engine_error = result.error;
  }
  switch (end) {
    case End::Finished:
      emit finished_signal(record);
      break;
    case End::Stopped:
      emit stopped_signal();
      break;
    case End::Error:
      emit error_signal(engine_error);
      break;
    case End::None:
      emit error_signal(QStringLiteral("The engine ended the run without a result."));
      break;
  }
}

}  // namespace quorlan

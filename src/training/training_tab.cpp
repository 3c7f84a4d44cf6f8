#include "training/training_tab.h"

#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include "core/atomic_file.h"
#include "training/trainer_thread.h"
#include "training/training_math.h"
#include "training/tuner_thread.h"
#include "widgets/prompts.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

TrainingTab::TrainingTab(QWidget* parent) : QWidget(parent) { setup_progress_tab(); }

TrainingTab::~TrainingTab() { abort_runs(); }

void TrainingTab::setup_progress_tab() {
  auto* layout = new QHBoxLayout(this);
  auto* left = new QVBoxLayout;
  auto* status_row = new QHBoxLayout;
  lbl_train_status = new QLabel("Status: Idle Workstation");
  lbl_train_status->setObjectName("lbl_train_status");
  lbl_train_status->setFont(QFont("Segoe UI", 11, QFont::Bold));
  btn_stop_train = new QPushButton("⏹️ STOP TRAINING");
  btn_stop_train->setObjectName("dangerBtn");
  btn_stop_train->setEnabled(false);
  status_row->addWidget(lbl_train_status);
  status_row->addStretch();
  status_row->addWidget(btn_stop_train);
  bar_train_progress = new QProgressBar;
  bar_train_progress->setObjectName("bar_train_progress");
  bar_train_progress->setValue(0);
  console_log = new QTextEdit;
  console_log->setObjectName("console_log");
  console_log->setReadOnly(true);
  left->addLayout(status_row);
  left->addWidget(bar_train_progress);
  left->addWidget(new QLabel("Real-Time Execution Logs:"));
  left->addWidget(console_log);

  auto* metrics_box = new QGroupBox("Performance Metrics && Diagnostics");
  auto* metrics_layout = new QVBoxLayout(metrics_box);
  tabs_analytics = new QTabWidget;
  tabs_analytics->setObjectName("tabs_analytics");
  const std::pair<ZoomableView**, const char*> views[] = {
      {&view_loss_plot, "Live Loss Curves"},
      {&view_f1_plot, "F1-Score"},
      {&view_pr_plot, "Precision-Recall"},
      {&view_confusion_plot, "Confusion Matrix"},
      {&view_val_batch, "Validation Batch Predictions"},
  };
  const char* names[] = {"view_loss_plot", "view_f1_plot", "view_pr_plot", "view_confusion_plot", "view_val_batch"};
  int i = 0;
  for (auto [member, title] : views) {
    *member = new ZoomableView;
    (*member)->setObjectName(names[i++]);
    tabs_analytics->addTab(*member, title);
  }
  metrics_layout->addWidget(tabs_analytics);
  layout->addLayout(left, 4);
  layout->addWidget(metrics_box, 5);
  connect(btn_stop_train, &QPushButton::clicked, this, [this] { stop_training(); });
}

bool TrainingTab::is_busy() const { return training_active_ || tuning_active_; }

void TrainingTab::abort_runs() {
  // Each run's engine host is ended now; its work ends on its own, nobody waits for it.
  if (trainer_thread) trainer_thread->abort();
  if (tuner_thread) tuner_thread->abort();
  training_active_ = tuning_active_ = false;
}

bool TrainingTab::refuse_if_busy() {
  if (!is_busy()) return false;
  prompts().warning(this, "Run Active",
                    "A training run or AutoML search is already running. Stop it or let it finish "
                    "before starting another.");
  return true;
}

template <typename Job>
Job* TrainingTab::new_run(QPointer<Job>& slot, bool& active, const QVariantMap& params) {
  console_log->clear();
  // The previous run has said its end; its work holds nothing of it.
  if (slot) slot->deleteLater();
  auto* job = new Job(params, this);
  slot = job;
  active = true;
  // Connected first, so the run counts as over before any other receiver hears of its end.
  const auto over = [&active] { active = false; };
  connect(job, &Job::finished_signal, this, over);
  connect(job, &Job::error_signal, this, over);
  connect(job, &Job::log_signal, this, &TrainingTab::append_log);
  return job;
}

bool TrainingTab::start_training(const QVariantMap& params) {
  if (refuse_if_busy()) return false;
  YoloTrainerThread* job = new_run(trainer_thread, training_active_, params);
  lbl_train_status->setText("Status: Initializing YOLO Session...");
  bar_train_progress->setValue(0);
  btn_stop_train->setEnabled(true);
  connect(job, &YoloTrainerThread::stopped_signal, this, [this] { training_active_ = false; });
  connect(job, &YoloTrainerThread::progress_signal, this, &TrainingTab::update_train_progress);
  connect(job, &YoloTrainerThread::finished_signal, this, &TrainingTab::training_finished);
  connect(job, &YoloTrainerThread::stopped_signal, this, &TrainingTab::training_stopped);
  connect(job, &YoloTrainerThread::error_signal, this, [this](const QString& text) {
    // The run is over: its Stop button and status must not suggest otherwise.
    lbl_train_status->setText("Status: Training Error");
    btn_stop_train->setEnabled(false);
    prompts().critical(this, "Training Error", text);
  });
  job->start();
  return true;
}

bool TrainingTab::start_automl_tuning(const QVariantMap& params) {
  if (refuse_if_busy()) return false;
  YoloTunerThread* job = new_run(tuner_thread, tuning_active_, params);
  connect(job, &YoloTunerThread::finished_signal, this, &TrainingTab::automl_results_signal);
  connect(job, &YoloTunerThread::error_signal, this,
          [this](const QString& text) { prompts().critical(this, "AutoML Error", text); });
  job->start();
  return true;
}

void TrainingTab::stop_training() {
  if (!trainer_thread || !training_active_) return;
  lbl_train_status->setText("Status: Halting Training...");
  btn_stop_train->setEnabled(false);
  trainer_thread->stop();
}

void TrainingTab::update_train_progress(int percent, const QString& status, const QString& plot_path) {
  bar_train_progress->setValue(percent);
  lbl_train_status->setText("Status: " + status);
  // The live chart is read again only when it was drawn anew: progress comes far more often.
  if (plot_path.isEmpty()) return;
  const FileStamp stamp = file_stamp(plot_path);
  if (!stamp.exists || (plot_path == live_plot_ && stamp == live_plot_stamp_)) return;
  live_plot_ = plot_path;
  live_plot_stamp_ = stamp;
  show_plot(view_loss_plot, plot_path);
}

void TrainingTab::training_stopped() {
  lbl_train_status->setText("Status: Training Stopped");
  btn_stop_train->setEnabled(false);
}

void TrainingTab::training_finished(const QVariant& record) {
  lbl_train_status->setText("Status: Training Complete");
  bar_train_progress->setValue(100);
  btn_stop_train->setEnabled(false);
  const QString run_dir = record.toMap().value("save_dir").toString();
  for (const PlotPatterns& entry : result_plot_patterns()) {
    const QString found = find_result_plot(run_dir, entry.patterns);
    if (!found.isEmpty()) show_plot(findChild<ZoomableView*>(entry.view), found);
  }
}

void TrainingTab::show_plot(ZoomableView* view, const QString& path) {
  // Through QImage: QPixmap's file cache could return the previous drawing of a chart that is
  // redrawn under the same name within one second.
  const QImage image(path);
  if (!image.isNull()) view->set_image(QPixmap::fromImage(image));
}

void TrainingTab::append_log(const QString& text) {
  QTextCursor cursor = console_log->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
  console_log->setTextCursor(cursor);
}

}  // namespace quorlan

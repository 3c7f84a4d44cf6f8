#pragma once
#include <QPointer>
#include <QVariant>
#include <QVariantMap>
#include <QWidget>

#include "core/atomic_file.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTextEdit;

namespace quorlan {

class YoloTrainerThread;
class YoloTunerThread;
class ZoomableView;

// "Training Analytics & Live Logs": status, progress, the live console and the result plots of
// training runs and AutoML searches.
class TrainingTab : public QWidget {
  Q_OBJECT
 public:
  explicit TrainingTab(QWidget* parent = nullptr);
  ~TrainingTab() override;
  void setup_progress_tab();

  // Both refuse (with a message) while a run or a search is active and then return false.
  bool start_training(const QVariantMap& params);
  bool start_automl_tuning(const QVariantMap& params);
  bool is_busy() const;
  // Ends any run or search at once (the window is closing).
  void abort_runs();

  void stop_training();
  void update_train_progress(int percent, const QString& status, const QString& plot_path);
  void training_finished(const QVariant& record);
  void training_stopped();
  void append_log(const QString& text);

  QPointer<YoloTrainerThread> trainer_thread;
  QPointer<YoloTunerThread> tuner_thread;

 signals:
  // The search's result mapping, for the configuration tab.
  void automl_results_signal(const QVariantMap& best_params);

 private:
  // The widgets (each found by its object name, which is its member name).
  QLabel* lbl_train_status = nullptr;
  QPushButton* btn_stop_train = nullptr;
  QProgressBar* bar_train_progress = nullptr;
  QTextEdit* console_log = nullptr;
  QTabWidget* tabs_analytics = nullptr;
  ZoomableView* view_loss_plot = nullptr;
  ZoomableView* view_f1_plot = nullptr;
  ZoomableView* view_pr_plot = nullptr;
  ZoomableView* view_confusion_plot = nullptr;
  ZoomableView* view_val_batch = nullptr;
  void show_plot(ZoomableView* view, const QString& path);
  QString live_plot_;  // the live chart shown, and its file as it was then
  FileStamp live_plot_stamp_;
  // Shows why a second run cannot start while one is active; true when it refused.
  bool refuse_if_busy();

  // A new run of `Job` in `slot`, its end and console connected; `active` until it ends.
  template <typename Job>
  Job* new_run(QPointer<Job>& slot, bool& active, const QVariantMap& params);

  // From a start until the run's one final signal (sent after its engine host has exited).
  bool training_active_ = false;
  bool tuning_active_ = false;
};

}  // namespace quorlan

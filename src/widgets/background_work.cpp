#include "widgets/background_work.h"

#include <QApplication>
#include <QEvent>
#include <QFutureWatcher>
#include <QPointer>
#include <QProgressDialog>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <numeric>
#include <opencv2/core/utility.hpp>
#include <vector>

#include "core/work_pool.h"
#include "widgets/prompts.h"

namespace quorlan {

// One piece of work beside the window, from its start to the end of its continuation.
class BusyWatch : public QObject {
 public:
  BusyWatch(QWidget* parent, const QString& label, std::shared_ptr<WorkControl> control,
            std::function<void()> on_cancel)
      : QObject(parent),
        parent_(parent),
        label_(label),
        control_(std::move(control)),
        on_cancel_(std::move(on_cancel)) {
    running().push_back(this);
    connect(&watcher_, &QFutureWatcher<void>::finished, this, [this] { end(); });
    if (label.isEmpty()) return;
    // Most work ends within a blink: no box flashes up for it, and no click lands meanwhile.
    qApp->installEventFilter(this);
    QTimer::singleShot(300, this, [this] { show_box(); });
  }

  void watch(const QFuture<void>& chain) { watcher_.setFuture(chain); }

  // The work is over: its box goes (the continuation may show a message of its own).
  void returned() {
    returned_ = true;
    qApp->removeEventFilter(this);
    if (box_) box_->hide();
  }

  ~BusyWatch() override {
    if (!over_) cancel();  // the window that waits for it is gone
    qApp->removeEventFilter(this);
    running().erase(std::remove(running().begin(), running().end(), this), running().end());
    delete box_;
  }

  void cancel() {
    if (control_->cancel.exchange(true)) return;
    if (on_cancel_) on_cancel_();
  }

  static std::vector<BusyWatch*>& running() {
    static std::vector<BusyWatch*> list;
    return list;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::Wheel:
      case QEvent::ShortcutOverride: {
        auto* widget = qobject_cast<QWidget*>(watched);
        return widget && parent_ && widget->window() == parent_->window();
      }
      default:
        return false;
    }
  }

 private:
  void show_box() {
    qApp->removeEventFilter(this);
    if (returned_) return;  // the work has ended (and with it, maybe, the whole chain)
    box_ = new QProgressDialog(label_, "Cancel", 0, 0, parent_);
    box_->setObjectName("busy_progress");
    box_->setWindowTitle(QStringLiteral("Quorlan Studio: Working"));
    fit_title(*box_);
    box_->setWindowModality(Qt::WindowModal);
    box_->setAutoClose(false);
    box_->setAutoReset(false);
    box_->setMinimumDuration(0);
    connect(box_, &QProgressDialog::canceled, this, [this] {
      cancel();
      box_->setLabelText(QStringLiteral("Stopping..."));
      box_->setCancelButton(nullptr);
      box_->show();  // a cancelled progress dialog hides itself; this one stays until the work ends
    });
    // The count the work keeps, shown as it grows.
    auto* progress = new QTimer(box_);
    connect(progress, &QTimer::timeout, box_, [this] {
      const int total = control_->total.load();
      if (total <= 0) return;
      if (box_->maximum() != total) box_->setMaximum(total);
      box_->setValue(std::min(control_->done.load(), total));
    });
    progress->start(100);
    box_->show();
  }

  void end() {
    over_ = true;
    running().erase(std::remove(running().begin(), running().end(), this), running().end());
    returned();
    deleteLater();
  }

  QPointer<QWidget> parent_;
  QString label_;
  std::shared_ptr<WorkControl> control_;
  std::function<void()> on_cancel_;
  QFutureWatcher<void> watcher_;
  QPointer<QProgressDialog> box_;  // a child of the window, which may take it first
  bool returned_ = false;
  bool over_ = false;
};

BusyWatch* begin_beside_window(QWidget* parent, const QString& label, const std::shared_ptr<WorkControl>& control,
                               const std::function<void()>& on_cancel) {
  return new BusyWatch(parent, label, control, on_cancel);
}

// The continuation runs only while the watch's parent (if it has one) is there: so is the watch.
void work_returned(BusyWatch* watch) { watch->returned(); }

void watch_until(BusyWatch* watch, const QFuture<void>& chain) { watch->watch(chain); }

QFuture<void> run_batch_beside_window(QWidget* parent, const QString& label, int count,
                                      std::function<void(int, const WorkControl&)> job,
                                      std::function<void(const WorkControl&)> done) {
  auto control = std::make_shared<WorkControl>();
  control->total = count;
  return run_beside_window(
      parent, label, control,
      [control, count, job = std::move(job)] {
        // The batch is parallel across jobs; OpenCV's own threads inside each job would only compete.
        const int opencv_threads = cv::getNumThreads();
        cv::setNumThreads(1);
        QVector<int> indices(count);
        std::iota(indices.begin(), indices.end(), 0);
        QtConcurrent::blockingMap(&pixel_pool(), indices, [&](int i) {
          if (control->cancel) return;
          job(i, *control);
          ++control->done;
        });
        cv::setNumThreads(opencv_threads);
      },
      [control, done = std::move(done)] { done(*control); });
}

void write_beside_window(QObject* context, std::function<Status()> write, std::function<void(const Status&)> landed) {
  count_write_in_flight(+1);
  auto promise = std::make_shared<QPromise<Status>>();
  // As in run_beside_window: the continuation is in place first, and comes back through the
  // event queue of the application, which outlives the write.
  promise->future().then(QCoreApplication::instance(),
                         [guard = QPointer<QObject>(context), landed = std::move(landed)](const Status& outcome) {
                           count_write_in_flight(-1);
                           if (guard && landed) landed(outcome);
                         });
  write_pool().start([promise, write = std::move(write)] {
    promise->start();
    promise->addResult(write());
    promise->finish();
  });
}

int work_beside_window_in_flight() { return static_cast<int>(BusyWatch::running().size()) + writes_in_flight(); }

void cancel_work_beside_window() {
  // A copy: an on_cancel may end work whose record then leaves the list.
  const std::vector<BusyWatch*> now = BusyWatch::running();
  for (BusyWatch* work : now) work->cancel();
}

bool finish_work_beside_window(int ms) {
  cancel_work_beside_window();
  // The user's files are never cut off: their writes are awaited whatever the time.
  write_pool().waitForDone();
  return work_pool().waitForDone(ms);
}

}  // namespace quorlan

#include "imaging/batch_runner.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QProgressDialog>
#include <QtConcurrent>
#include <opencv2/core/utility.hpp>

namespace quorlan {

void run_batch_with_progress(QWidget* parent, const QString& label, int count,
                             const std::function<void(int, BatchControl&)>& job,
                             const std::function<void(const BatchControl&)>& on_done) {
  // The batch is parallel across jobs; OpenCV's own threads inside each job would only compete.
  const int opencv_threads = cv::getNumThreads();
  cv::setNumThreads(1);
  auto control = std::make_shared<BatchControl>();
  auto* dialog = new QProgressDialog(label, "Cancel", 0, count, parent);
  dialog->setObjectName("batch_progress");
  dialog->setWindowModality(Qt::WindowModal);
  dialog->setMinimumDuration(300);
  dialog->setAutoClose(false);
  dialog->setAutoReset(false);
  dialog->setValue(0);
  QObject::connect(dialog, &QProgressDialog::canceled, dialog, [control] { control->cancelled = true; });
  QPointer<QProgressDialog> progress(dialog);

  auto indices = std::make_shared<QVector<int>>(count);
  for (int i = 0; i < count; ++i) (*indices)[i] = i;
  auto* watcher = new QFutureWatcher<void>(dialog);
  QObject::connect(watcher, &QFutureWatcher<void>::finished, dialog,
                   [dialog, control, indices, on_done, opencv_threads] {
                     cv::setNumThreads(opencv_threads);
                     // reset() stops the box's own timer too: a batch shorter than its show delay would
                     // otherwise have the box appear over the summary while it is read.
                     dialog->reset();
                     dialog->hide();
                     on_done(*control);
                     dialog->deleteLater();
                   });
  watcher->setFuture(QtConcurrent::map(*indices, [control, job, progress](int i) {
    if (control->cancelled) return;
    job(i, *control);
    const int finished = ++control->done;
    QMetaObject::invokeMethod(
        progress,
        [progress, finished] {
          if (progress && progress->value() < finished) progress->setValue(finished);
        },
        Qt::QueuedConnection);
  }));
}

}  // namespace quorlan

#include "widgets/background_work.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <memory>

#include "widgets/prompts.h"

namespace quorlan {

void run_beside_window(QWidget* parent, const QString& label, WorkControl& control, const std::function<void()>& work,
                       const std::function<void()>& on_cancel) {
  std::unique_ptr<QThread> thread(QThread::create(work));
  thread->setObjectName(QStringLiteral("quorlan-work"));
  QEventLoop first;
  QObject::connect(thread.get(), &QThread::finished, &first, &QEventLoop::quit);
  thread->start();
  // Most work ends within a blink: no box flashes up for it.
  QTimer::singleShot(300, &first, &QEventLoop::quit);
  first.exec(QEventLoop::ExcludeUserInputEvents);
  if (!thread->isFinished()) {
    QProgressDialog box(label, "Cancel", 0, 0, parent);
    box.setObjectName("busy_progress");
    box.setWindowTitle(QStringLiteral("Quorlan Studio: Working"));
    fit_title(box);
    box.setWindowModality(Qt::WindowModal);
    box.setAutoClose(false);
    box.setAutoReset(false);
    box.setMinimumDuration(0);
    QObject::connect(&box, &QProgressDialog::canceled, &box, [&box, &control, &on_cancel] {
      control.cancel = true;
      if (on_cancel) on_cancel();
      box.setLabelText(QStringLiteral("Stopping..."));
      box.setCancelButton(nullptr);
    });
    // The count the work keeps, shown as it grows.
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &box, [&box, &control] {
      const int total = control.total.load();
      if (total <= 0) return;
      if (box.maximum() != total) box.setMaximum(total);
      box.setValue(std::min(control.done.load(), total));
    });
    progress.start(100);
    QEventLoop rest;
    QObject::connect(thread.get(), &QThread::finished, &rest, &QEventLoop::quit);
    box.show();
    if (!thread->isFinished()) rest.exec();
  }
  thread->wait();
}

}  // namespace quorlan

#include "widgets/busy_wait.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <memory>

namespace quorlan {

void run_with_busy_dialog(QWidget* parent, const QString& label, const std::function<void()>& work,
                          std::atomic<bool>* cancel) {
  std::unique_ptr<QThread> thread(QThread::create(work));
  QEventLoop first;
  QObject::connect(thread.get(), &QThread::finished, &first, &QEventLoop::quit);
  thread->start();
  // Most work ends within a blink: no box flashes up for it.
  QTimer::singleShot(300, &first, &QEventLoop::quit);
  first.exec(QEventLoop::ExcludeUserInputEvents);
  if (!thread->isFinished()) {
    QProgressDialog box(label, "Cancel", 0, 0, parent);
    box.setObjectName("busy_progress");
    box.setWindowModality(Qt::WindowModal);
    box.setAutoClose(false);
    box.setAutoReset(false);
    QObject::connect(&box, &QProgressDialog::canceled, &box, [&box, cancel] {
      if (cancel) *cancel = true;
      box.setLabelText(QStringLiteral("Stopping..."));
      box.setCancelButton(nullptr);
    });
    QEventLoop rest;
    QObject::connect(thread.get(), &QThread::finished, &rest, &QEventLoop::quit);
    box.show();
    if (!thread->isFinished()) rest.exec();
  }
  thread->wait();
}

}  // namespace quorlan

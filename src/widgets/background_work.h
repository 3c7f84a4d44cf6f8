#pragma once
// Long work started from the window, without a frozen window: the one way the studio runs work
// off the window's thread. The work runs on the work pool and hands back a QFuture; the window
// goes on in a continuation on its own thread. Nothing on the window's thread ever waits for it.
#include <QCoreApplication>
#include <QFuture>
#include <QPointer>
#include <QPromise>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/expected.h"
#include "core/work_pool.h"

namespace quorlan {

// What the work and the busy box share: the work counts what it has done (and of how much, when
// it knows), and watches `cancel`, which the box's Cancel (or the window closing) raises.
struct WorkControl {
  std::atomic<bool> cancel{false};
  std::atomic<int> done{0};
  std::atomic<int> total{0};  // 0: not known; the box shows a busy bar
};

// The window's side of work beside it (the busy box, the first 300 ms without clicks, the list the
// window's closing cancels), begun as the work starts. With an empty `label` there is no box and
// clicks go on. Cancel raises control->cancel and calls `on_cancel` (for work that waits on
// something else, such as the engine); `parent` going raises the cancel too.
class BusyWatch;
BusyWatch* begin_beside_window(QWidget* parent, const QString& label, const std::shared_ptr<WorkControl>& control,
                               const std::function<void()>& on_cancel);
// The work has returned: the box goes before the continuation shows anything.
void work_returned(BusyWatch* watch);
// The watch ends with `chain`, the work and its continuation.
void watch_until(BusyWatch* watch, const QFuture<void>& chain);

// Runs `work()` on the work pool and `done(result)` (or `done()` for work without a result) on
// the window's thread once it has returned, unless `parent` is gone by then. Cancelled work
// stops at its next step and must leave nothing half-written; `done` reads control->cancel.
// Returns at once with the future of the whole chain.
template <typename Work, typename Done>
QFuture<void> run_beside_window(QWidget* parent, const QString& label, const std::shared_ptr<WorkControl>& control,
                                Work&& work, Done&& done, const std::function<void()>& on_cancel = {}) {
  using Result = std::invoke_result_t<Work>;
  BusyWatch* watch = begin_beside_window(parent, label, control, on_cancel);
  auto promise = std::make_shared<QPromise<Result>>();
  // The continuation is in place before the work starts, so it always comes back through the
  // window's event queue, never inline in the middle of the step that started it. Its context is
  // the application, which outlives the work; with `parent` gone (the watch went with it) the
  // continuation does nothing.
  const QPointer<QWidget> guard(parent);
  const bool has_parent = parent != nullptr;
  QFuture<void> chain;
  if constexpr (std::is_void_v<Result>) {
    chain = promise->future().then(QCoreApplication::instance(),
                                   [watch, guard, has_parent, finish = std::forward<Done>(done)]() mutable {
                                     if (has_parent && !guard) return;
                                     work_returned(watch);
                                     finish();
                                   });
  } else {
    chain =
        promise->future().then(QCoreApplication::instance(),
                               [watch, guard, has_parent, finish = std::forward<Done>(done)](Result result) mutable {
                                 if (has_parent && !guard) return;
                                 work_returned(watch);
                                 finish(std::move(result));
                               });
  }
  watch_until(watch, chain);
  auto job = std::make_shared<std::decay_t<Work>>(std::forward<Work>(work));
  work_pool().start([promise, job] {
    promise->start();
    if constexpr (std::is_void_v<Result>) {
      (*job)();
    } else {
      promise->addResult((*job)());
    }
    promise->finish();
  });
  return chain;
}

// A batch of independent jobs across the cores, beside the window: job(i, control) for i in
// 0..count-1 (a job may look at control.cancel; jobs not begun at a cancel are left out), the box
// counting finished jobs, then `done(control)` on the window's thread.
QFuture<void> run_batch_beside_window(QWidget* parent, const QString& label, int count,
                                      std::function<void(int, const WorkControl&)> job,
                                      std::function<void(const WorkControl&)> done);

// Like run_beside_window for work whose tab shows its own progress: no busy box, and clicks go
// on as ever. The window closing still raises control->cancel.
template <typename Work, typename Done>
QFuture<void> run_behind_tab(QWidget* tab, const std::shared_ptr<WorkControl>& control, Work&& work, Done&& done) {
  return run_beside_window(tab, QString(), control, std::forward<Work>(work), std::forward<Done>(done));
}

// Runs `write` on the write pool, after every write asked of it before (so files land in the order
// their writes were asked for), counted as a write in flight; `landed(outcome)` follows on the
// window's thread unless `context` is gone by then.
void write_beside_window(QObject* context, std::function<Status()> write, std::function<void(const Status&)> landed);

// Work started beside the window and not yet through its continuation, and files being written
// beside it (tests wait for 0).
int work_beside_window_in_flight();
// Raises the cancel of everything running beside the window (the window is closing).
void cancel_work_beside_window();
// At exit, after the window has gone: waits for the files being written, then lets cancelled
// work reach its next step, at most `ms`. False when some is still running.
bool finish_work_beside_window(int ms);

}  // namespace quorlan

#pragma once
// Long work started from the window, without a frozen window: the one way the studio runs work
// off the window's thread and waits for its answer. The work runs on a thread of its own; the
// window keeps handling its events (drawing, timers, the engine's output) while it waits.
#include <QString>
#include <atomic>
#include <functional>
#include <optional>

class QWidget;

namespace quorlan {

// What the work and the busy box share: the work counts what it has done (and of how much, when
// it knows), and watches `cancel`, which the box's Cancel raises.
struct WorkControl {
  std::atomic<bool> cancel{false};
  std::atomic<int> done{0};
  std::atomic<int> total{0};  // 0: not known; the box shows a busy bar
};

// Runs `work` on its own thread and returns once it has returned. For its first 300 ms the window
// only repaints (clicks wait); after that a window-modal box shows `label`, the progress where the
// work gives it, and "Cancel", which raises control.cancel and calls `on_cancel` (for work that
// waits on something else, such as the engine). Cancelled work stops at its next step and must
// leave nothing half-written; the caller reads control.cancel afterwards.
void run_beside_window(QWidget* parent, const QString& label, WorkControl& control, const std::function<void()>& work,
                       const std::function<void()>& on_cancel = {});

// The same for a result: returns what `work` returned.
template <typename T>
T run_beside_window(QWidget* parent, const QString& label, WorkControl& control, const std::function<T()>& work,
                    const std::function<void()>& on_cancel = {}) {
  std::optional<T> result;
  run_beside_window(
      parent, label, control, [&] { result.emplace(work()); }, on_cancel);
  return std::move(*result);
}

}  // namespace quorlan

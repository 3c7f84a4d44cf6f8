#pragma once
// A batch of independent jobs on all cores behind a cancellable progress dialog: the window
// stays responsive, the dialog advances per finished job, and `on_done` runs on the GUI thread.
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class QWidget;

namespace quorlan {

struct BatchControl {
  std::atomic<bool> cancelled{false};
  std::atomic<int> done{0};
};

// Runs job(i) for i in 0..count-1 (jobs check control.cancelled to stop early). Returns at once.
void run_batch_with_progress(QWidget* parent, const QString& label, int count,
                             const std::function<void(int, BatchControl&)>& job,
                             const std::function<void(const BatchControl&)>& on_done);

}  // namespace quorlan

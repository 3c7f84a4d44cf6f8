#pragma once
// Long work started from a button, without a frozen window: the work runs on a thread of its own
// while the window keeps drawing itself.
#include <QString>
#include <atomic>
#include <functional>

class QWidget;

namespace quorlan {

// Runs `work` on its own thread and returns when it has returned. For its first 300 ms the window
// only repaints (clicks wait); after that a window-modal box with a busy bar and "Cancel" shows, and
// Cancel sets `cancel`, which `work` watches to stop early.
void run_with_busy_dialog(QWidget* parent, const QString& label, const std::function<void()>& work,
                          std::atomic<bool>* cancel);

}  // namespace quorlan

#pragma once
// The studio's pools of threads.
class QThreadPool;

namespace quorlan {

// Where work beside the window (or the command line's main thread) runs: more threads than cores,
// since much of that work waits on the engine or the disk rather than computing.
QThreadPool& work_pool();

// Where a task spreads its pixel work across the cores (QtConcurrent's blocking maps). Never
// Qt's global pool: the window's painting fills in parallel on that one, and would wait behind a
// batch of pictures.
QThreadPool& pixel_pool();

// Where the user's files are written beside the window: one thread, so writes land one at a time
// in the order they were asked for, and a later write of a file never lands before an earlier one.
QThreadPool& write_pool();

// Writes asked of the write pool whose outcome has not yet reached the one who asked; counted by
// the one who asks. The program ends only after they have landed.
int writes_in_flight();
void count_write_in_flight(int delta);

}  // namespace quorlan

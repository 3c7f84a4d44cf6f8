#pragma once
// The studio's two pools of threads.
class QThreadPool;

namespace quorlan {

// Where work beside the window (or the command line's main thread) runs: more threads than cores,
// since much of that work waits on the engine or the disk rather than computing.
QThreadPool& work_pool();

// Where a task spreads its pixel work across the cores (QtConcurrent's blocking maps). Never
// Qt's global pool: the window's painting fills in parallel on that one, and would wait behind a
// batch of pictures.
QThreadPool& pixel_pool();

}  // namespace quorlan

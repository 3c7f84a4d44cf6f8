#pragma once
// The threads the studio's own work runs on, beside the window or the command line's main thread:
// more than the cores, since much of that work waits on the engine or the disk rather than
// computing. Pixel work inside a task goes on to QThreadPool::globalInstance() as before.
class QThreadPool;

namespace quorlan {

QThreadPool& work_pool();

}  // namespace quorlan

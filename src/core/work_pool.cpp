#include "core/work_pool.h"

#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <atomic>

namespace quorlan {

QThreadPool& work_pool() {
  // Never deleted: work cancelled at exit may still be ending while statics are destroyed.
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(std::max(8, QThread::idealThreadCount() * 2));
    p->setObjectName(QStringLiteral("quorlan-work"));
    return p;
  }();
  return *pool;
}

QThreadPool& pixel_pool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(QThread::idealThreadCount());
    p->setObjectName(QStringLiteral("quorlan-pixels"));
    return p;
  }();
  return *pool;
}

QThreadPool& write_pool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(1);
    p->setExpiryTimeout(-1);
    p->setObjectName(QStringLiteral("quorlan-writes"));
    return p;
  }();
  return *pool;
}

namespace {
std::atomic<int> g_writes{0};
}

int writes_in_flight() { return g_writes.load(); }
void count_write_in_flight(int delta) { g_writes += delta; }

}  // namespace quorlan

#pragma once
// Waiting, in a test, for what the window runs beside itself: the test's own event loop turns
// (as the window's would) until the work and its continuation are through.
#include <QElapsedTimer>
#include <QTest>

#include "widgets/background_work.h"

namespace quorlan::test {

// True once no work beside the window is left, within `ms`.
inline bool settle_window_work(int ms = 120000) {
  QElapsedTimer clock;
  clock.start();
  while (work_beside_window_in_flight() > 0 && clock.elapsed() < ms) QTest::qWait(5);
  return work_beside_window_in_flight() == 0;
}

}  // namespace quorlan::test

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

// Saves the picture on screen of an annotator `tab` and waits for the write: true when the
// shapes reached the file.
template <typename Tab>
bool saved(Tab& tab) {
  tab.save_current_annotations();
  return settle_window_work() && !tab.picture_document().is_changed();
}

}  // namespace quorlan::test

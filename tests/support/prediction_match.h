#pragma once
// Whether two runtimes' answers on one picture are the same: every box of one matched by a box of
// the other (same class, IoU >= 0.99, confidence within 1e-3) and every outline's filled area
// overlapping its partner's by IoU >= 0.98.
#include <QString>
#include <opencv2/core.hpp>

#include "core/prediction.h"

namespace quorlan::test {

// Empty when `native` answers as `engine` does on a picture of `size`; else what differs. Boxes
// whose confidence is within `margin` of `threshold` may be on either side of it, so they are not
// counted.
QString prediction_difference(const Prediction& engine, const Prediction& native, cv::Size size, double threshold,
                              double margin = 1e-4);

}  // namespace quorlan::test

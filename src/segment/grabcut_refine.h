#pragma once
// A rough box made tight with OpenCV's GrabCut: the object's outline without any model weights.
#include <QRectF>
#include <opencv2/core.hpp>

#include "core/expected.h"
#include "segment/prompt_geometry.h"

namespace quorlan {

// The outline of the object inside `rough` (picture pixels) on an 8-bit BGR picture: GrabCut
// takes the box's outside as background and separates the inside by colour. A box smaller than
// a few pixels, or one that finds nothing, fails with a message saying so.
Expected<MaskOutline> refine_box(const cv::Mat& bgr, const QRectF& rough);

}  // namespace quorlan

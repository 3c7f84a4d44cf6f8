#pragma once
#include <QPixmap>
#include <opencv2/core.hpp>

namespace quorlan {

// An 8-bit BGR image as a pixmap, converted in one pass straight into the 32-bit layout a
// pixmap uses natively (B, G, R, 255 in memory), so the pixmap takes the buffer as it is.
QPixmap pixmap_from_bgr(const cv::Mat& bgr);

}  // namespace quorlan

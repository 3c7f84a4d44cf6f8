#pragma once
#include <QImage>
#include <QPixmap>
#include <opencv2/core.hpp>

namespace quorlan {

// An 8-bit BGR picture in Qt's RGB32 form (a copy).
QImage qimage_from_bgr(const cv::Mat& bgr);
QPixmap pixmap_from_bgr(const cv::Mat& bgr);

}  // namespace quorlan

#include "widgets/bgr_pixmap.h"

#include <opencv2/imgproc.hpp>

namespace quorlan {

QImage qimage_from_bgr(const cv::Mat& bgr) {
  static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "RGB32 is B, G, R, A in memory only on little-endian");
  QImage image(bgr.cols, bgr.rows, QImage::Format_RGB32);
  cv::Mat target(bgr.rows, bgr.cols, CV_8UC4, image.bits(), static_cast<size_t>(image.bytesPerLine()));
  cv::cvtColor(bgr, target, cv::COLOR_BGR2BGRA);
  return image;
}

QPixmap pixmap_from_bgr(const cv::Mat& bgr) { return QPixmap::fromImage(qimage_from_bgr(bgr)); }

}  // namespace quorlan

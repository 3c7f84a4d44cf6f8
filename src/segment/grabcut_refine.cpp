#include "segment/grabcut_refine.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace quorlan {

namespace {
// GrabCut's cost grows with the pixels it models: the box and its margin are worked on at most
// this long side, and the mask is brought back to the picture's pixels.
constexpr int kWorkingSide = 640;
constexpr int kIterations = 5;
}  // namespace

Expected<MaskOutline> refine_box(const cv::Mat& bgr, const QRectF& rough) {
  if (bgr.empty() || bgr.type() != CV_8UC3) return failure(QStringLiteral("The picture is not an 8-bit colour image."));
  const cv::Rect whole(0, 0, bgr.cols, bgr.rows);
  const QRectF r = rough.normalized();
  const cv::Rect box = cv::Rect(cv::Point(int(std::floor(r.left())), int(std::floor(r.top()))),
                                cv::Point(int(std::ceil(r.right())), int(std::ceil(r.bottom())))) &
                       whole;
  if (box.width < 4 || box.height < 4) return failure(QStringLiteral("Drag a box around the object first."));
  // The background model needs pixels around the box: a margin of a quarter of its size.
  const int mx = std::max(8, box.width / 4), my = std::max(8, box.height / 4);
  const cv::Rect crop = cv::Rect(box.x - mx, box.y - my, box.width + 2 * mx, box.height + 2 * my) & whole;
  const double scale = std::min(1.0, double(kWorkingSide) / std::max(crop.width, crop.height));
  cv::Mat work;
  if (scale < 1)
    cv::resize(bgr(crop), work, cv::Size(), scale, scale, cv::INTER_AREA);
  else
    work = bgr(crop).clone();
  cv::Rect inner(int(std::floor((box.x - crop.x) * scale)), int(std::floor((box.y - crop.y) * scale)),
                 int(std::ceil(box.width * scale)), int(std::ceil(box.height * scale)));
  inner &= cv::Rect(0, 0, work.cols, work.rows);
  cv::Mat1b labels(work.size(), uchar(cv::GC_BGD));
  cv::Mat background, foreground;
  try {
    cv::grabCut(work, labels, inner, background, foreground, kIterations, cv::GC_INIT_WITH_RECT);
  } catch (const cv::Exception& e) {
    return failure(QStringLiteral("The box could not be refined: %1").arg(QString::fromStdString(e.msg)));
  }
  cv::Mat1b object = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
  // Speckles of the background's colour inside the object, and the reverse, are closed and opened.
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5});
  cv::morphologyEx(object, object, cv::MORPH_OPEN, kernel);
  cv::morphologyEx(object, object, cv::MORPH_CLOSE, kernel);
  PictureMask mask;
  mask.roi = crop;
  if (scale < 1) {
    cv::Mat1b full;
    cv::resize(object, full, crop.size(), 0, 0, cv::INTER_LINEAR);
    mask.mask = full > 127;
  } else {
    mask.mask = object;
  }
  MaskOutline outline = outline_of(mask);
  if (outline.polygon.size() < 3) return failure(QStringLiteral("No object was found inside the box."));
  return outline;
}

}  // namespace quorlan

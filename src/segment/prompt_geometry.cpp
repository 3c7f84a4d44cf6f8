#include "segment/prompt_geometry.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace quorlan {

PromptGeometry PromptGeometry::of(cv::Size picture, int side) {
  PromptGeometry g;
  g.picture = picture;
  g.side = side;
  if (picture.empty() || side <= 0) return g;
  g.gain = std::min(double(side) / picture.height, double(side) / picture.width);
  // Each resized side is kept at least one pixel, as the engine's letterbox does for thin pictures.
  g.resized = {std::max(1, int(std::lround(picture.width * g.gain))),
               std::max(1, int(std::lround(picture.height * g.gain)))};
  return g;
}

cv::Mat model_input(const cv::Mat& bgr, const PromptGeometry& g, const cv::Scalar& mean_rgb, const cv::Scalar& std_rgb,
                    double pad) {
  cv::Mat boxed(g.side, g.side, CV_8UC3, cv::Scalar::all(pad));
  if (bgr.size() == g.resized)
    bgr.copyTo(boxed(cv::Rect({0, 0}, g.resized)));
  else
    cv::resize(bgr, boxed(cv::Rect({0, 0}, g.resized)), g.resized, 0, 0, cv::INTER_LINEAR);
  const int sizes[] = {1, 3, g.side, g.side};
  cv::Mat blob(4, sizes, CV_32F);
  std::vector<cv::Mat> planes(3);
  for (int c = 0; c < 3; ++c) planes[c] = cv::Mat(g.side, g.side, CV_32F, blob.ptr<float>(0, c));
  std::vector<cv::Mat> bgr_planes;
  cv::split(boxed, bgr_planes);
  for (int c = 0; c < 3; ++c)  // RGB order: plane c is BGR's 2 - c
    bgr_planes[2 - c].convertTo(planes[c], CV_32F, 1.0 / std_rgb[c], -mean_rgb[c] / std_rgb[c]);
  return blob;
}

PictureMask mask_on_picture(const cv::Mat1f& logits, const PromptGeometry& g, float threshold, int max_side) {
  PictureMask out;
  if (logits.empty() || g.picture.empty()) return out;
  const int longest = std::max(g.picture.width, g.picture.height);
  const int step = max_side > 0 && longest > max_side ? (longest + max_side - 1) / max_side : 1;
  const cv::Size cells((g.picture.width + step - 1) / step, (g.picture.height + step - 1) / step);
  // The picture's content span in the logits (fractional, as the engine samples it).
  const double span_w = g.resized.width * double(logits.cols) / g.side;
  const double span_h = g.resized.height * double(logits.rows) / g.side;
  const double sx = span_w / g.picture.width, sy = span_h / g.picture.height;
  cv::Mat1b above = logits > threshold;
  const cv::Rect hot = cv::boundingRect(above);
  if (hot.empty()) return out;
  // Pixel x samples the logits at ((x + 0.5) * s - 0.5), the engine's bilinear map; cell u is the
  // pixel (u + 0.5) * step - 0.5, so it samples at ((u + 0.5) * step * s - 0.5).
  const double cx = sx * step, cy = sy * step;
  auto to_cell_x = [&](double lx) { return (lx + 0.5) / cx - 0.5; };
  auto to_cell_y = [&](double ly) { return (ly + 0.5) / cy - 0.5; };
  // The cells whose sample can reach the hot logits (one logit of margin for the bilinear tap).
  const int x0 = std::clamp(int(std::floor(to_cell_x(hot.x - 1))), 0, cells.width);
  const int y0 = std::clamp(int(std::floor(to_cell_y(hot.y - 1))), 0, cells.height);
  const int x1 = std::clamp(int(std::ceil(to_cell_x(hot.br().x))) + 1, 0, cells.width);
  const int y1 = std::clamp(int(std::ceil(to_cell_y(hot.br().y))) + 1, 0, cells.height);
  out.roi = cv::Rect(x0, y0, x1 - x0, y1 - y0);
  out.step = step;
  if (out.roi.empty()) return out;
  const cv::Matx23d to_logits(cx, 0, cx * (x0 + 0.5) - 0.5, 0, cy, cy * (y0 + 0.5) - 0.5);
  cv::Mat1f sampled;
  cv::warpAffine(logits, sampled, to_logits, out.roi.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_REPLICATE);
  out.mask = sampled > threshold;
  return out;
}

MaskOutline outline_of(const PictureMask& mask) {
  MaskOutline out;
  if (mask.empty()) return out;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask.mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, mask.roi.tl());
  // The simplification's tolerance is in picture pixels; the contour is in cells.
  const std::vector<cv::Point>* largest = nullptr;
  double largest_area = -1;
  for (const auto& c : contours) {
    // A region of one row or column has no area but is still pixels: count them.
    const double area = std::max(cv::contourArea(c), double(c.size()));
    if (area > largest_area) largest_area = area, largest = &c;
  }
  if (!largest) return out;
  std::vector<cv::Point> simple;
  // Within a pixel, or a fifth of a percent of the outline's length on a large object: a handful
  // of vertices per curve, as a user would place them.
  cv::approxPolyDP(*largest, simple, std::max(1.0 / mask.step, 0.002 * cv::arcLength(*largest, true)), true);
  const cv::Rect r = cv::boundingRect(*largest);
  const double step = mask.step;
  // Pixel edges: a region's pixels span [x, x + 1), so its box ends one past the last pixel; a cell
  // spans step pixels.
  out.box = QRectF(r.x * step, r.y * step, r.width * step, r.height * step);
  out.area = largest_area * step * step;
  auto pixel = [step](int u) { return step > 1 ? (u + 0.5) * step - 0.5 : double(u); };
  for (const cv::Point& p : simple) out.polygon << QPointF(pixel(p.x), pixel(p.y));
  return out;
}

}  // namespace quorlan

#include "support/prediction_match.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace quorlan::test {

namespace {

double box_iou(const Detection& a, const Detection& b) {
  const double ix = std::max(0.0, std::min(a.x2, b.x2) - std::max(a.x1, b.x1));
  const double iy = std::max(0.0, std::min(a.y2, b.y2) - std::max(a.y1, b.y1));
  const double inter = ix * iy;
  const double uni = (a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter;
  if (uni <= 0) return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2 ? 1.0 : 0.0;
  return inter / uni;
}

// Filled at 4x, so that an outline of a few pixels compares by area rather than by rounding.
cv::Mat raster(const QPolygonF& outline, cv::Size size) {
  cv::Mat m(size * 4, CV_8U, cv::Scalar(0));
  std::vector<cv::Point> p;
  for (const QPointF& q : outline) p.emplace_back(cvRound(q.x() * 4), cvRound(q.y() * 4));
  if (!p.empty()) cv::fillPoly(m, std::vector<std::vector<cv::Point>>{p}, cv::Scalar(1));
  return m;
}

double outline_iou(const QPolygonF& a, const QPolygonF& b, cv::Size size) {
  const cv::Mat ma = raster(a, size), mb = raster(b, size);
  const double uni = cv::countNonZero(ma | mb);
  return uni > 0 ? cv::countNonZero(ma & mb) / uni : 1.0;
}

}  // namespace

QString prediction_difference(const Prediction& engine, const Prediction& native, cv::Size size, double threshold,
                              double margin) {
  if (engine.masks.has_value() != native.masks.has_value()) return QStringLiteral("one has masks, the other not");
  const auto counted = [&](const Prediction& p) {
    int n = 0;
    for (const Detection& d : p.boxes) n += d.conf > threshold + margin;
    return n;
  };
  if (counted(engine) != counted(native))
    return QStringLiteral("%1 boxes by the engine, %2 natively").arg(counted(engine)).arg(counted(native));
  // Each engine box takes the unused native box of its class that covers it (IoU >= 0.99) with the
  // nearest confidence: boxes of one place (a model unsure of everything) are told apart so.
  std::vector<bool> used(native.boxes.size(), false);
  for (int i = 0; i < engine.boxes.size(); ++i) {
    const Detection& e = engine.boxes[i];
    if (e.conf <= threshold + margin) continue;
    int best = -1;
    double best_iou = 0;
    for (int j = 0; j < native.boxes.size(); ++j) {
      const double iou = box_iou(e, native.boxes[j]);
      if (used[j] || native.boxes[j].cls != e.cls) continue;
      best_iou = std::max(best_iou, iou);
      if (iou >= 0.99 &&
          (best < 0 || std::abs(native.boxes[j].conf - e.conf) < std::abs(native.boxes[best].conf - e.conf)))
        best = j;
    }
    if (best < 0)
      return QStringLiteral("the engine's box %1 (class %2) has no native match: best IoU %3")
          .arg(i)
          .arg(e.cls)
          .arg(best_iou);
    used[best] = true;
    if (std::abs(native.boxes[best].conf - e.conf) > 1e-3)
      return QStringLiteral("confidence %1 natively, %2 by the engine").arg(native.boxes[best].conf).arg(e.conf);
    if (engine.masks && i < engine.masks->size() && best < native.masks->size()) {
      const double iou = outline_iou((*engine.masks)[i], (*native.masks)[best], size);
      if (iou < 0.98) return QStringLiteral("mask of box %1: IoU %2").arg(i).arg(iou);
    }
  }
  return {};
}

}  // namespace quorlan::test

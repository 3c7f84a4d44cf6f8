#include "native_inference/yolo_decode.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace quorlan {

int py_round(double x) { return static_cast<int>(std::nearbyint(x)); }

Letterbox letterbox_geometry(cv::Size image, cv::Size target, int stride) {
  const double r =
      std::min(static_cast<double>(target.height) / image.height, static_cast<double>(target.width) / image.width);
  Letterbox box;
  box.unpadded = {std::max(py_round(image.width * r), 1), std::max(py_round(image.height * r), 1)};
  double dw = target.width - box.unpadded.width, dh = target.height - box.unpadded.height;
  if (stride > 0) {
    dw = std::fmod(dw, stride);
    dh = std::fmod(dh, stride);
  }
  dw /= 2;
  dh /= 2;
  box.top = py_round(dh - 0.1);
  box.left = py_round(dw - 0.1);
  box.input = {box.unpadded.width + box.left + py_round(dw + 0.1), box.unpadded.height + box.top + py_round(dh + 0.1)};
  return box;
}

cv::Mat letterboxed(const cv::Mat& bgr, const Letterbox& box) {
  cv::Mat resized = bgr;
  if (bgr.size() != box.unpadded) cv::resize(bgr, resized, box.unpadded, 0, 0, cv::INTER_LINEAR);
  cv::Mat out;
  cv::copyMakeBorder(resized, out, box.top, box.input.height - box.unpadded.height - box.top, box.left,
                     box.input.width - box.unpadded.width - box.left, cv::BORDER_CONSTANT, cv::Scalar::all(114));
  return out;
}

void to_input_planes(const cv::Mat& letterboxed_bgr, float* out) {
  const int plane = letterboxed_bgr.rows * letterboxed_bgr.cols;
  float* r = out;
  float* g = out + plane;
  float* b = out + 2 * static_cast<std::ptrdiff_t>(plane);
  for (int y = 0; y < letterboxed_bgr.rows; ++y) {
    const auto* row = letterboxed_bgr.ptr<cv::Vec3b>(y);
    for (int x = 0; x < letterboxed_bgr.cols; ++x, ++r, ++g, ++b) {
      *b = row[x][0] / 255.f;
      *g = row[x][1] / 255.f;
      *r = row[x][2] / 255.f;
    }
  }
}

namespace {

float iou(const Candidate& a, const Candidate& b, float offset_a, float offset_b) {
  const float ix1 = std::max(a.x1 + offset_a, b.x1 + offset_b), iy1 = std::max(a.y1 + offset_a, b.y1 + offset_b);
  const float ix2 = std::min(a.x2 + offset_a, b.x2 + offset_b), iy2 = std::min(a.y2 + offset_a, b.y2 + offset_b);
  const float inter = std::max(0.f, ix2 - ix1) * std::max(0.f, iy2 - iy1);
  const float area_a = (a.x2 - a.x1) * (a.y2 - a.y1), area_b = (b.x2 - b.x1) * (b.y2 - b.y1);
  const float uni = area_a + area_b - inter;
  return uni > 0 ? inter / uni : 0.f;
}

bool finite_box(float x1, float y1, float x2, float y2, float conf) {
  return std::isfinite(x1) && std::isfinite(y1) && std::isfinite(x2) && std::isfinite(y2) && std::isfinite(conf);
}

void by_confidence(std::vector<Candidate>& c) {
  std::stable_sort(c.begin(), c.end(), [](const Candidate& a, const Candidate& b) { return a.conf > b.conf; });
}

}  // namespace

std::vector<Candidate> non_max_suppression(const float* pred, int channels, int anchors, int classes,
                                           const NmsSettings& settings, int* dropped) {
  std::vector<Candidate> found;
  int unsound = 0;
  if (classes <= 0 || channels < 4 + classes) return found;
  for (int a = 0; a < anchors; ++a) {
    int best = 0;
    float score = pred[static_cast<std::ptrdiff_t>(4) * anchors + a];
    for (int c = 1; c < classes; ++c) {
      const float s = pred[static_cast<std::ptrdiff_t>(4 + c) * anchors + a];
      if (s > score) score = s, best = c;
    }
    if (!(score > settings.conf)) continue;
    const float cx = pred[a], cy = pred[anchors + a];
    const float w = pred[2 * static_cast<std::ptrdiff_t>(anchors) + a];
    const float h = pred[3 * static_cast<std::ptrdiff_t>(anchors) + a];
    const Candidate c{cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2, score, best, a};
    if (finite_box(c.x1, c.y1, c.x2, c.y2, c.conf))
      found.push_back(c);
    else
      ++unsound;
  }
  if (dropped) *dropped += unsound;
  by_confidence(found);
  if (static_cast<int>(found.size()) > settings.max_nms) found.resize(settings.max_nms);
  std::vector<Candidate> kept;
  std::vector<char> suppressed(found.size(), 0);
  for (std::size_t i = 0; i < found.size() && static_cast<int>(kept.size()) < settings.max_det; ++i) {
    if (suppressed[i]) continue;
    kept.push_back(found[i]);
    const float oi = static_cast<float>(found[i].cls) * settings.max_wh;
    for (std::size_t j = i + 1; j < found.size(); ++j)
      if (!suppressed[j] &&
          iou(found[i], found[j], oi, static_cast<float>(found[j].cls) * settings.max_wh) > settings.iou)
        suppressed[j] = 1;
  }
  return kept;
}

std::vector<Candidate> end_to_end_candidates(const float* pred, int rows, int width, int classes,
                                             const NmsSettings& settings, int* dropped) {
  std::vector<Candidate> kept;
  if (width < 6) return kept;
  for (int r = 0; r < rows && static_cast<int>(kept.size()) < settings.max_det; ++r) {
    const float* row = pred + static_cast<std::ptrdiff_t>(r) * width;
    if (!(row[4] > settings.conf)) continue;
    const float cls = row[5];
    if (!finite_box(row[0], row[1], row[2], row[3], row[4]) || !(cls >= 0) || !(cls < static_cast<float>(classes)) ||
        cls != std::floor(cls)) {
      if (dropped) ++*dropped;
      continue;
    }
    kept.push_back({row[0], row[1], row[2], row[3], row[4], static_cast<int>(cls), r});
  }
  return kept;
}

namespace {

// The engine's way back from input pixels: the gain and pad of each side as the letterbox
// rounded them.
struct BackToPicture {
  double gain_x, gain_y, pad_x, pad_y;
};

BackToPicture back_to_picture(cv::Size input, cv::Size picture) {
  const double gain =
      std::min(static_cast<double>(input.height) / picture.height, static_cast<double>(input.width) / picture.width);
  const int new_h = std::max(py_round(picture.height * gain), 1), new_w = std::max(py_round(picture.width * gain), 1);
  return {static_cast<double>(new_w) / picture.width, static_cast<double>(new_h) / picture.height,
          static_cast<double>(py_round((input.width - new_w) / 2.0 - 0.1)),
          static_cast<double>(py_round((input.height - new_h) / 2.0 - 0.1))};
}

}  // namespace

cv::Rect2d box_in_picture(const Candidate& c, cv::Size input, cv::Size picture) {
  const BackToPicture b = back_to_picture(input, picture);
  const auto fx = [&](double x) { return std::clamp((x - b.pad_x) / b.gain_x, 0.0, double(picture.width)); };
  const auto fy = [&](double y) { return std::clamp((y - b.pad_y) / b.gain_y, 0.0, double(picture.height)); };
  const double x1 = fx(c.x1), y1 = fy(c.y1);
  return {x1, y1, fx(c.x2) - x1, fy(c.y2) - y1};
}

cv::Mat candidate_mask(const float* coefficients, const float* protos, int protos_count, int mh, int mw,
                       const Candidate& c, cv::Size input) {
  cv::Mat small(mh, mw, CV_32F, cv::Scalar(0));
  const int plane = mh * mw;
  auto* m = small.ptr<float>();
  for (int k = 0; k < protos_count; ++k) {
    const float w = coefficients[k];
    const float* p = protos + static_cast<std::ptrdiff_t>(k) * plane;
    for (int i = 0; i < plane; ++i) m[i] += w * p[i];
  }
  cv::Mat up;
  cv::resize(small, up, input, 0, 0, cv::INTER_LINEAR);
  cv::Mat mask(input, CV_8U, cv::Scalar(0));
  // Kept: columns x1 <= x < x2 and rows y1 <= y < y2 where the upsampled mask is above zero.
  // Clamped while still floats: a box far outside the input (a finite 1e20) is no int.
  const auto column = [&](float x) { return static_cast<int>(std::clamp(std::ceil(x), 0.f, float(input.width))); };
  const auto row = [&](float y) { return static_cast<int>(std::clamp(std::ceil(y), 0.f, float(input.height))); };
  const int x0 = column(c.x1), y0 = row(c.y1), x_end = column(c.x2), y_end = row(c.y2);
  for (int y = y0; y < y_end; ++y) {
    const float* src = up.ptr<float>(y);
    auto* dst = mask.ptr<unsigned char>(y);
    for (int x = x0; x < x_end; ++x) dst[x] = src[x] > 0.f ? 1 : 0;
  }
  return mask;
}

namespace {

// The pair of points (one of each segment) nearest to each other.
std::pair<int, int> nearest_points(const std::vector<cv::Point>& a, const std::vector<cv::Point>& b) {
  std::pair<int, int> best{0, 0};
  long long best_d = -1;
  for (int i = 0; i < static_cast<int>(a.size()); ++i)
    for (int j = 0; j < static_cast<int>(b.size()); ++j) {
      const long long dx = a[i].x - b[j].x, dy = a[i].y - b[j].y, d = dx * dx + dy * dy;
      if (best_d < 0 || d < best_d) best_d = d, best = {i, j};
    }
  return best;
}

// The engine's merge of several outlines into one: each joined to the next at their nearest
// points, walked forward and then back.
std::vector<cv::Point> merge_segments(std::vector<std::vector<cv::Point>> segments) {
  const int n = static_cast<int>(segments.size());
  std::vector<std::vector<int>> idx(n);
  for (int i = 1; i < n; ++i) {
    const auto [a, b] = nearest_points(segments[i - 1], segments[i]);
    idx[i - 1].push_back(a);
    idx[i].push_back(b);
  }
  std::vector<cv::Point> merged;
  const auto append = [&](const std::vector<cv::Point>& s, int from, int to) {
    merged.insert(merged.end(), s.begin() + from, s.begin() + to);
  };
  for (int i = 0; i < n; ++i) {
    std::vector<int> ix = idx[i];
    std::vector<cv::Point>& s = segments[i];
    const int len = static_cast<int>(s.size());
    if (ix.size() == 2 && ix[0] > ix[1]) {
      for (int& v : ix) v = len - 1 - v;
      std::reverse(s.begin(), s.end());
    }
    std::rotate(s.begin(), s.begin() + ix[0], s.end());
    s.push_back(s.front());
    if (i == 0 || i == n - 1) {
      append(s, 0, static_cast<int>(s.size()));
    } else {
      append(s, 0, std::min<int>(ix[1] - ix[0] + 1, static_cast<int>(s.size())));
    }
    idx[i] = ix;
  }
  for (int i = n - 1; i >= 0; --i) {
    if (i == 0 || i == n - 1) continue;
    const int skip = std::abs(idx[i][1] - idx[i][0]);
    append(segments[i], std::min<int>(skip, static_cast<int>(segments[i].size())),
           static_cast<int>(segments[i].size()));
  }
  return merged;
}

}  // namespace

QPolygonF mask_outline(const cv::Mat& mask, cv::Size picture) {
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return {};
  const std::vector<cv::Point> points = contours.size() > 1 ? merge_segments(contours) : contours.front();
  const BackToPicture b = back_to_picture(mask.size(), picture);
  QPolygonF outline;
  outline.reserve(static_cast<int>(points.size()));
  for (const cv::Point& p : points)
    outline << QPointF(std::clamp((p.x - b.pad_x) / b.gain_x, 0.0, double(picture.width)),
                       std::clamp((p.y - b.pad_y) / b.gain_y, 0.0, double(picture.height)));
  return outline;
}

}  // namespace quorlan

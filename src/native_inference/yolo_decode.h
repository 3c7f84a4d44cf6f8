#pragma once
// The engine's own pre- and post-processing of a YOLO detection or segmentation model, done
// natively and to the same numbers: the letterbox, class-aware non-maximum suppression with the
// engine's defaults, mask prototypes to masks, masks to polygons, and the way back to the
// picture's pixels. Pure functions over OpenCV matrices; no runtime, no widgets.
#include <QPolygonF>
#include <QSize>
#include <opencv2/core.hpp>
#include <vector>

namespace quorlan {

// Python's round(): halves go to the even neighbour, as the engine's sizes and pads are rounded.
int py_round(double x);

struct Letterbox {
  cv::Size input;     // the model's input (width, height)
  cv::Size unpadded;  // the picture resized into it
  int top = 0, left = 0;
};

// Where a picture of `image` size lands in an input of `target` size. `stride` > 0 letterboxes
// to the smallest rectangle of whole strides around the resized picture (the engine's `auto`,
// used for models whose input size is free); 0 pads to `target` itself (a fixed-size export).
Letterbox letterbox_geometry(cv::Size image, cv::Size target, int stride = 0);
// The picture (8-bit BGR) resized and padded with grey 114 as the geometry says.
cv::Mat letterboxed(const cv::Mat& bgr, const Letterbox& box);
// The letterboxed picture as the model's input: RGB planes of floats in 0..1.
void to_input_planes(const cv::Mat& letterboxed_bgr, float* out);

struct Candidate {
  float x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // in the model's input pixels
  float conf = 0;
  int cls = 0;
  int anchor = 0;  // the column (or row, end to end) it came from: its mask coefficients
};

struct NmsSettings {
  float conf = 0.25f;
  float iou = 0.7f;  // the engine's predict default
  int max_det = 300;
  int max_nms = 30000;
  float max_wh = 7680.f;  // offset that keeps classes apart
};

// `pred` is the raw output of shape (channels, anchors): box centre and size, `classes` scores,
// then any mask coefficients. Candidates above the confidence, best class only, suppressed per
// class, highest confidence first. Candidates whose box or confidence is not finite are left out
// and counted in `dropped` (when given).
std::vector<Candidate> non_max_suppression(const float* pred, int channels, int anchors, int classes,
                                           const NmsSettings& settings, int* dropped = nullptr);
// An end-to-end output of `rows` rows of `width` >= 6 values (x1 y1 x2 y2 conf cls, then
// coefficients): the rows above the confidence, at most max_det. A row whose box or confidence is
// not finite, or whose class is not a whole number from 0 to `classes` - 1, is left out and counted
// in `dropped`.
std::vector<Candidate> end_to_end_candidates(const float* pred, int rows, int width, int classes,
                                             const NmsSettings& settings, int* dropped = nullptr);

// A box in input pixels back in the picture's pixels, clipped to it.
cv::Rect2d box_in_picture(const Candidate& c, cv::Size input, cv::Size picture);

// The binary mask (input size, 0 or 1) of `coefficients` (`protos` rows: mh*mw floats each,
// `protos_count` of them) upsampled bilinearly and cut to the candidate's box.
cv::Mat candidate_mask(const float* coefficients, const float* protos, int protos_count, int mh, int mw,
                       const Candidate& c, cv::Size input);
// The outline of a mask as the engine gives it (outer contours, several merged into one) in the
// picture's pixels; empty when the mask is empty.
QPolygonF mask_outline(const cv::Mat& mask, cv::Size picture);

}  // namespace quorlan

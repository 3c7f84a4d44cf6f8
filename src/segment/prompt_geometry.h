#pragma once
// Where a picture and its prompts sit in a promptable segmentation model's square input, and the
// way back from the model's low-resolution mask to the picture: the engine's own steps (its SAM
// predictor letterboxes to the long side, top-left, padded with 114; scales prompts by the same
// gain; and samples the mask's content span back onto the picture, bilinear, before the
// threshold), so the outlines match the engine's on the same model.
#include <QPolygonF>
#include <QRectF>
#include <opencv2/core.hpp>

namespace quorlan {

struct PromptGeometry {
  cv::Size picture;  // the picture as shown (upright)
  int side = 0;      // the model's square input
  double gain = 1;   // picture pixels to input pixels
  cv::Size resized;  // the picture's extent in the input (the rest is padding)

  static PromptGeometry of(cv::Size picture, int side);
  cv::Point2f to_input(cv::Point2d p) const { return {float(p.x * gain), float(p.y * gain)}; }
};

// The model's input: the picture resized into the top-left of a side x side square padded with
// `pad`, as RGB float planes normalised by mean and std (per RGB channel), 1x3xSxS.
cv::Mat model_input(const cv::Mat& bgr, const PromptGeometry& g, const cv::Scalar& mean_rgb, const cv::Scalar& std_rgb,
                    double pad);

// A mask on the picture: `mask` (0 or 255) covers `roi`; outside it nothing is set. With a `step`
// over 1 the mask samples every step-th pixel: its cell (u, v) is the picture's pixel
// ((u + 0.5) * step - 0.5, ...), and `roi` is in cells.
struct PictureMask {
  cv::Mat1b mask;
  cv::Rect roi;
  int step = 1;
  bool empty() const { return roi.empty(); }
};
// The low-resolution logits (the model's mask over its whole input) sampled onto the picture and
// thresholded at `threshold`. Only the part around the logits above the threshold is sampled, so
// a small object on a 12 MP picture costs what its size costs. With `max_side`, a picture longer
// than that is sampled every few pixels, so that the samples' long side stays within it (the mask
// has no detail finer than the model's input, so its side is the natural bound).
PictureMask mask_on_picture(const cv::Mat1f& logits, const PromptGeometry& g, float threshold, int max_side = 0);

// The outline of the mask's largest region, in picture pixels, simplified (within a pixel, or
// 0.2% of its length on a large object); and
// its bounding box. Empty when the mask has no pixels.
struct MaskOutline {
  QPolygonF polygon;
  QRectF box;
  double area = 0;
};
MaskOutline outline_of(const PictureMask& mask);

}  // namespace quorlan

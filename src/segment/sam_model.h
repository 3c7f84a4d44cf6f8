#pragma once
// A promptable segmentation model of the engine's SAM family, exported into an image encoder and
// a prompt decoder (engine/quorlan_sam.py writes the pair and its sam.json), run in the studio's
// own process through OpenVINO: the encoder once per picture, the decoder on every prompt.
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "core/expected.h"
#include "segment/prompt_geometry.h"

namespace quorlan {

struct PromptPoint {
  cv::Point2d at;  // picture pixels
  bool positive = true;
};

// What the user gave: clicks (positive or negative) and at most one rough box, in picture pixels.
struct SegmentPrompt {
  std::vector<PromptPoint> points;
  std::optional<QRectF> box;
  bool empty() const { return points.empty() && !box; }
};

// A picture's embedding: what the encoder made of it, with its geometry.
struct SamEmbedding {
  std::vector<float> values;
  std::vector<size_t> shape;  // 1 x C x H x W
  PromptGeometry geometry;
};

// The decoder's answer before the threshold: four low-resolution logit masks (the single answer,
// then three alternatives) over the model's whole input, and their predicted quality.
struct PromptLogits {
  std::vector<cv::Mat1f> masks;
  std::vector<float> scores;
};

// The outline proposed for a prompt, in picture pixels; empty polygon when the mask has no pixels.
struct Segmentation {
  QPolygonF polygon;
  QRectF box;
  double score = 0;
  int mask = 0;  // which of the four answers
};

// Which of the four answers stands for a prompt: a single click is ambiguous (a part or the whole),
// so the alternative with the best predicted quality; any other prompt the single answer.
int chosen_answer(const SegmentPrompt& prompt, const std::vector<float>& scores);

class SamModel {
 public:
  // Opens an exported pair: its folder (encoder.onnx, decoder.onnx, sam.json). A folder that is
  // not one fails with a message saying what is missing.
  static Expected<std::unique_ptr<SamModel>> open(const QString& folder);
  ~SamModel();
  SamModel(const SamModel&) = delete;
  SamModel& operator=(const SamModel&) = delete;

  int input_side() const;
  QString folder() const;
  // The embedding of an 8-bit BGR picture (upright). Encoding and decoding may run at once on two
  // threads; two encodings (or two decodings) are serialised.
  Expected<std::shared_ptr<const SamEmbedding>> encode(const cv::Mat& bgr);
  Expected<PromptLogits> decode(const SamEmbedding& embedding, const SegmentPrompt& prompt);
  // decode, then the chosen answer's mask on the picture and its outline.
  Expected<Segmentation> segment(const SamEmbedding& embedding, const SegmentPrompt& prompt);

 private:
  struct Impl;
  explicit SamModel(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorlan

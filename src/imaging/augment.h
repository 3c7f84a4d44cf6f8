#pragma once
// The enricher's pixel work on 8-bit BGR images: crop, perspective warp, rotation without
// cropping, and the random augmentation pipeline.
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QTransform>
#include <QVector>
#include <array>
#include <opencv2/core.hpp>
#include <optional>
#include <random>

#include "core/label_files.h"

namespace quorlan {

// Each geometric step can give its `geometry`: where a point of the input lands in the output,
// so that labels follow the pixels.

// Rows and columns between two clicked points (truncated toward zero, clamped to the picture,
// end exclusive); nullopt when they span no area.
std::optional<cv::Mat> crop_between(const cv::Mat& image, QPointF a, QPointF b, QTransform* geometry = nullptr);

// The quadrilateral clicked top-left, top-right, bottom-right, bottom-left, straightened into
// its own size (bilinear, black border); nullopt when that size is below 2 pixels either way.
std::optional<cv::Mat> warp_quad(const cv::Mat& image, const std::array<cv::Point2f, 4>& corners,
                                 QTransform* geometry = nullptr);

// Turned by `angle` degrees (counter-clockwise for positive values) on a canvas enlarged to hold
// the whole picture; bicubic, edges replicated.
cv::Mat rotate_bound(const cv::Mat& image, double angle, QTransform* geometry = nullptr);

// table[i] = ((i / 255) ^ (1 / gamma)) x 255, truncated.
std::array<uchar, 256> gamma_table(double gamma);

struct AugmentRanges {
  double b_min = -30, b_max = 30;   // brightness offset
  double c_min = 0.8, c_max = 1.2;  // contrast factor
  double r_min = -15, r_max = 15;   // rotation, degrees
  double l_min = 0.8, l_max = 1.2;  // gamma
  double w_min = 0, w_max = 5;      // perspective jitter, percent
};

// One random variant: contrast and brightness (absolute value), gamma, optional perspective
// jitter, rotation; draws from `rng` in that order. The input is not modified.
cv::Mat augment(const cv::Mat& image, const AugmentRanges& r, std::mt19937_64& rng, QTransform* geometry = nullptr);

// A 3 x 3 (or 2 x 3 affine) OpenCV matrix of doubles as the QTransform that maps the same way.
QTransform transform_from(const cv::Mat& matrix);

// One variant of `base`, an independent draw, written at `path` (as its extension says), with
// its labels: `labels` (in `base`'s pixels) follow the variant's geometry into a
// label file where the studio reads it; with `source_empty` (a confirmed background) the
// variant gets an empty one. A failure when the picture could not be written; once it is, what
// became of its label file.
struct VariantLabels {
  QVector<LabelShape> shapes;
  bool source_empty = false;
};
struct VariantWritten {
  bool labelled = false;  // a label file was written beside it
  Status labels;          // the label file's write failed: the picture stands without it
};
Expected<VariantWritten> write_labelled_variant(const cv::Mat& base, const AugmentRanges& ranges, const QString& path,
                                                const VariantLabels* labels);

// The names of `n` variants of `source` written at `stamp` (seconds) into `out`:
// "<stem>_warped_enriched_<stamp>_var_<i>.jpg", with a counter for a name already there, so
// nothing is overwritten.
QStringList plan_variant_names(const QString& source, qint64 stamp, int n, const QString& out);

// A generator seeded from the process-wide one (thread-safe), for independent draws per task.
std::mt19937_64 make_generator();

}  // namespace quorlan

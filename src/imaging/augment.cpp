#include "imaging/augment.h"

#include "core/image_reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/atomic_file.h"
#include "core/label_geometry.h"

namespace quorlan {

QTransform transform_from(const cv::Mat& m) {
  const auto at = [&](int r, int c) { return m.at<double>(r, c); };
  const bool full = m.rows == 3;
  return QTransform(at(0, 0), at(1, 0), full ? at(2, 0) : 0.0, at(0, 1), at(1, 1), full ? at(2, 1) : 0.0, at(0, 2),
                    at(1, 2), full ? at(2, 2) : 1.0);
}

std::optional<cv::Mat> crop_between(const cv::Mat& image, QPointF a, QPointF b, QTransform* geometry) {
  const int x1 = std::clamp(static_cast<int>(std::min(a.x(), b.x())), 0, image.cols);
  const int x2 = std::clamp(static_cast<int>(std::max(a.x(), b.x())), 0, image.cols);
  const int y1 = std::clamp(static_cast<int>(std::min(a.y(), b.y())), 0, image.rows);
  const int y2 = std::clamp(static_cast<int>(std::max(a.y(), b.y())), 0, image.rows);
  if (x2 <= x1 || y2 <= y1) return std::nullopt;
  if (geometry) *geometry = QTransform::fromTranslate(-x1, -y1);
  return image(cv::Range(y1, y2), cv::Range(x1, x2)).clone();
}

std::optional<cv::Mat> warp_quad(const cv::Mat& image, const std::array<cv::Point2f, 4>& c, QTransform* geometry) {
  const cv::Point2f &tl = c[0], &tr = c[1], &br = c[2], &bl = c[3];
  const auto dist = [](cv::Point2f p, cv::Point2f q) {
    const float dx = p.x - q.x, dy = p.y - q.y;
    return std::sqrt(dx * dx + dy * dy);
  };
  const int max_w = std::max(static_cast<int>(dist(br, bl)), static_cast<int>(dist(tr, tl)));
  const int max_h = std::max(static_cast<int>(dist(tr, br)), static_cast<int>(dist(tl, bl)));
  if (max_w < 2 || max_h < 2) return std::nullopt;
  const cv::Point2f dst[4] = {
      {0, 0}, {float(max_w - 1), 0}, {float(max_w - 1), float(max_h - 1)}, {0, float(max_h - 1)}};
  const cv::Point2f src[4] = {tl, tr, br, bl};
  const cv::Mat m = cv::getPerspectiveTransform(src, dst);
  if (geometry) *geometry = transform_from(m);
  cv::Mat out;
  cv::warpPerspective(image, out, m, cv::Size(max_w, max_h), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return out;
}

cv::Mat rotate_bound(const cv::Mat& image, double angle, QTransform* geometry) {
  const int h = image.rows, w = image.cols;
  const int cx = w / 2, cy = h / 2;
  cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(float(cx), float(cy)), angle, 1.0);
  const double cos_a = std::abs(m.at<double>(0, 0)), sin_a = std::abs(m.at<double>(0, 1));
  const int new_w = static_cast<int>(h * sin_a + w * cos_a);
  const int new_h = static_cast<int>(h * cos_a + w * sin_a);
  m.at<double>(0, 2) += new_w / 2.0 - cx;
  m.at<double>(1, 2) += new_h / 2.0 - cy;
  if (geometry) *geometry = transform_from(m);
  cv::Mat out;
  cv::warpAffine(image, out, m, cv::Size(new_w, new_h), cv::INTER_CUBIC, cv::BORDER_REPLICATE);
  return out;
}

std::array<uchar, 256> gamma_table(double gamma) {
  std::array<uchar, 256> table{};
  for (int i = 0; i < 256; ++i)
    table[i] = static_cast<uchar>(std::clamp(static_cast<int>(std::pow(i / 255.0, 1.0 / gamma) * 255), 0, 255));
  return table;
}

cv::Mat augment(const cv::Mat& image, const AugmentRanges& r, std::mt19937_64& rng, QTransform* geometry) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto u = [&](double a, double b) { return a + (b - a) * unit(rng); };
  const int h = image.rows, w = image.cols;

  // Contrast and brightness (|v x alpha + beta|, rounded and capped, as convertScaleAbs does)
  // and the gamma curve both map each channel value on its own, so they run as one table.
  const double alpha = u(r.c_min, r.c_max);
  const double beta = u(r.b_min, r.b_max);
  const std::array<uchar, 256> gamma = gamma_table(u(r.l_min, r.l_max));
  cv::Mat levels(1, 256, CV_8U), scaled;
  for (int v = 0; v < 256; ++v) levels.at<uchar>(v) = static_cast<uchar>(v);
  cv::convertScaleAbs(levels, scaled, alpha, beta);
  cv::Mat table(1, 256, CV_8U);
  for (int v = 0; v < 256; ++v) table.at<uchar>(v) = gamma[scaled.at<uchar>(v)];
  cv::Mat out;
  cv::LUT(image, table, out);

  // The random rotation about the centre, as a 3 x 3 matrix so that it can follow a warp.
  const auto rotation = [&](double angle) {
    // The centre in whole pixels, as the enricher has always turned its pictures.
    const int cx = w / 2, cy = h / 2;
    const cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(float(cx), float(cy)), angle, 1.0);
    cv::Mat full = cv::Mat::eye(3, 3, CV_64F);
    m.copyTo(full(cv::Rect(0, 0, 3, 2)));
    return full;
  };
  if (r.w_max > 0) {
    const double warp = u(r.w_min, r.w_max) / 100.0;
    const double dx = w * warp, dy = h * warp;
    const cv::Point2f src[4] = {{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
    cv::Point2f dst[4];
    dst[0] = {float(u(-dx, dx)), float(u(-dy, dy))};
    dst[1] = {float(w + u(-dx, dx)), float(u(-dy, dy))};
    dst[2] = {float(w + u(-dx, dx)), float(h + u(-dy, dy))};
    dst[3] = {float(u(-dx, dx)), float(h + u(-dy, dy))};
    const cv::Mat perspective = cv::getPerspectiveTransform(src, dst);
    // Jitter and rotation in one resampling: sharper than two bilinear passes, and half the work.
    const cv::Mat both = rotation(u(r.r_min, r.r_max)) * perspective;
    if (geometry) *geometry = transform_from(both);
    cv::warpPerspective(out, out, both, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  } else {
    const cv::Mat m = rotation(u(r.r_min, r.r_max))(cv::Rect(0, 0, 3, 2));
    if (geometry) *geometry = transform_from(m);
    cv::warpAffine(out, out, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  }
  return out;
}

Expected<VariantWritten> write_labelled_variant(const cv::Mat& base, const AugmentRanges& ranges, const QString& path,
                                                const VariantLabels* labels) {
  std::mt19937_64 rng = make_generator();
  QTransform geometry;
  const cv::Mat variant = augment(base, ranges, rng, &geometry);
  // Through a temporary file renamed into place: a crash never leaves a cut-off variant.
  if (const Status saved = write_image_atomically(path, variant); !saved)
    return failure(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), saved.error()));
  VariantWritten outcome;
  if (!labels) return outcome;
  const CarriedLabels carried = carry_labels(labels->shapes, geometry, QSize(variant.cols, variant.rows));
  // Objects that all left the picture leave no file (an unlabelled picture), unlike a source
  // confirmed to hold none, whose variants are backgrounds too.
  if (carried.kept == 0 && !labels->source_empty) return outcome;
  const QString target = label_path_for(path);
  if (const Status written = write_file_atomically(target, carried.bytes, false); !written)
    outcome.labels = failure(QStringLiteral("%1: %2").arg(target, written.error()));
  else
    outcome.labelled = true;
  return outcome;
}

QStringList plan_variant_names(const QString& source, qint64 stamp, int n, const QString& out) {
  const QString stem = source.isEmpty() ? QStringLiteral("image") : QFileInfo(source).completeBaseName();
  QStringList names;
  QSet<QString> taken;
  for (int i = 0; i < n; ++i) {
    const QString first = QStringLiteral("%1_warped_enriched_%2_var_%3").arg(stem).arg(stamp).arg(i + 1);
    QString name = first + ".jpg";
    for (int k = 2; taken.contains(name) || QFileInfo::exists(QDir(out).filePath(name)); ++k)
      name = QStringLiteral("%1_%2.jpg").arg(first).arg(k);
    taken.insert(name);
    names << name;
  }
  return names;
}

std::mt19937_64 make_generator() {
  static std::mutex mutex;
  static std::mt19937_64 shared{std::random_device{}()};
  const std::lock_guard<std::mutex> lock(mutex);
  return std::mt19937_64(shared());
}

}  // namespace quorlan

#include "imaging/tile_split.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <opencv2/imgcodecs.hpp>

#include "core/atomic_file.h"
#include "core/dataset_reader.h"
#include "core/image_limits.h"
#include "core/image_reader.h"
#include "core/label_geometry.h"
#include "imaging/tile_plan.h"
#include "imaging/tile_stream.h"

namespace quorlan {

SplitOutcome split_one_image(const QString& file, const QString& output_dir, int rows, int cols, int n, bool subfolders,
                             const LabelCarry& carry) {
  // A picture too large to decode whole is cut on the streaming pipeline instead.
  if (!too_large_to_decode(file).isEmpty()) return split_streaming(file, output_dir, rows, cols, n, subfolders, carry);
  SplitOutcome out;
  // Decoders fill a cut-short JPEG with grey; the engine drops it, and so do its tiles.
  if (truncated_jpeg(file)) {
    out.unreadable << QStringLiteral("%1: image file is truncated").arg(QFileInfo(file).fileName());
    return out;
  }
  const Expected<cv::Mat> read = read_image_bgr(file, /*keep_alpha=*/true);  // tiles keep transparency
  if (!read) {  // named in the summary, not counted as split
    out.unreadable << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), read.error());
    return out;
  }
  const cv::Mat& image = *read;
  write_tiles(
      file, output_dir, image.cols, image.rows, rows, cols, n, subfolders, out,
      [&](const QRect& r, const QString& target) -> QString {
        return write_image_atomically(target, image(cv::Rect(r.x(), r.y(), r.width(), r.height()))).error();
      },
      carry);
  return out;
}

void SplitOutcome::add(const SplitOutcome& one) {
  unreadable += one.unreadable;
  tiles += one.tiles;
  skipped_tiles += one.skipped_tiles;
  failed += one.failed;
  labelled_tiles += one.labelled_tiles;
  objects_cut += one.objects_cut;
  label_problems += one.label_problems;
  label_folders.unite(one.label_folders);
}

void write_tiles(const QString& file, const QString& output_dir, int width, int height, int rows, int cols, int n,
                 bool subfolders, SplitOutcome& out, const std::function<QString(const QRect&, const QString&)>& write,
                 const LabelCarry& carry) {
  const QVector<QRect> spans = tile_spans(width, height, rows, cols);
  SourceLabels labels;
  if (carry.enabled) {
    const Expected<SourceLabels> read = read_source_labels(file, QSize(width, height));
    if (read) labels = *read;
    if (!read)
      out.label_problems << read.error();
    else if (labels.unreadable > 0)
      out.label_problems << QStringLiteral("%1: %2 line(s) could not be read and were not carried")
                                .arg(QDir::toNativeSeparators(labels.path))
                                .arg(labels.unreadable);
  }
  for (int k = 0; k < spans.size(); ++k) {
    const QRect& r = spans[k];
    if (r.width() <= 0 || r.height() <= 0) {
      ++out.skipped_tiles;
      continue;
    }
    const QString target = QDir(output_dir).filePath(tile_relative_path(file, k + 1, n, subfolders));
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
      out.failed << QStringLiteral("%1: cannot create its folder").arg(QDir::toNativeSeparators(target));
      continue;
    }
    const QString why = write(r, target);
    if (!why.isEmpty()) {
      out.failed << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target), why);
      continue;
    }
    ++out.tiles;
    if (labels.shapes.isEmpty()) continue;
    // The tile's objects: clipped to it, moved to its origin; a tile without one gets no file.
    const CarriedLabels carried =
        carry_labels(labels.shapes, QTransform::fromTranslate(-r.x(), -r.y()), r.size(), carry.min_visible);
    out.objects_cut += carried.cut;
    if (carried.kept == 0) continue;
    // Where the studio and the engine look for it (images/... -> labels/... when that folder exists).
    const QString label_target = label_path_for(target);
    const Status written = write_file_atomically(label_target, carried.bytes, false);
    if (!written) {
      out.failed << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(label_target), written.error());
      continue;
    }
    ++out.labelled_tiles;
    out.label_folders.insert(QFileInfo(target).absolutePath());
  }
}

QString split_summary(const SplitOutcome& o) {
  QString text = QStringLiteral("Split %1 images into %2 tile parts.").arg(o.files - o.unreadable.size()).arg(o.tiles);
  if (!o.unreadable.isEmpty()) {
    text += QStringLiteral("\n%1 image(s) could not be read:\n").arg(o.unreadable.size());
    text += o.unreadable.mid(0, 5).join('\n');
    if (o.unreadable.size() > 5) text += QStringLiteral("\n...");
  }
  if (o.cancelled) text += QStringLiteral("\nCancelled before every image was split.");
  if (o.skipped_tiles > 0)
    text +=
        QStringLiteral("\n%1 empty tile(s) skipped: an image has fewer pixels than grid cells.").arg(o.skipped_tiles);
  if (o.labelled_tiles > 0 || o.objects_cut > 0 || !o.label_problems.isEmpty())
    text += QStringLiteral(
                "\n%1 tile(s) got label files; %2 object part(s) were cut away as too little of them "
                "was visible.")
                .arg(o.labelled_tiles)
                .arg(o.objects_cut);
  if (!o.label_problems.isEmpty()) {
    text += QStringLiteral("\n%1 label file(s) were not carried whole:\n").arg(o.label_problems.size());
    text += o.label_problems.mid(0, 5).join('\n');
    if (o.label_problems.size() > 5) text += QStringLiteral("\n...");
  }
  if (!o.failed.isEmpty()) {
    text += QStringLiteral("\n%1 tile(s) could not be written:\n").arg(o.failed.size());
    text += o.failed.mid(0, 5).join('\n');
    if (o.failed.size() > 5) text += QStringLiteral("\n...");
  }
  return text;
}

SplitOutcome split_batch_picture(const QString& input_dir, const QString& file, const QString& output_dir, int rows,
                                 int cols, int n, bool subfolders, const LabelCarry& carry) {
  try {
    return split_one_image(file, tile_output_folder(input_dir, file, output_dir), rows, cols, n, subfolders, carry);
  } catch (const std::exception& e) {
    SplitOutcome failed;
    failed.unreadable << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), QString::fromLocal8Bit(e.what()));
    return failed;
  }
}

}  // namespace quorlan

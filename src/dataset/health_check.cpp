#include "dataset/health_check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <array>
#include <vector>

#include "core/atomic_file.h"
#include "core/dataset_reader.h"
#include "core/image_files.h"
#include "core/label_files.h"

namespace quorlan {
namespace {

QString stem(const QString& name) {
  const int dot = name.lastIndexOf('.');
  return dot < 0 ? name : name.left(dot);
}

struct Box {
  double xmin, ymin, xmax, ymax;
};

// The pairs of shapes in the file whose IoU exceeds 0.9, counted by their bounding boxes as the
// engine reads them: a box row is its own box, a polygon row the box around its points. A file the
// engine rejects has none here; a pair of shapes without area (a zero union) is no pair.
qint64 overlapping_pairs(const QString& path) {
  const Expected<QByteArray> loaded = read_regular_file(path);
  if (!loaded) return 0;
  std::vector<Box> boxes;
  // The rows the engine reads; a file it rejects is named by the engine's checks instead.
  for (const LabelRow& row : verdict_of_label_bytes(*loaded, 0).rows)
    boxes.push_back({row.x - row.w / 2.0, row.y - row.h / 2.0, row.x + row.w / 2.0, row.y + row.h / 2.0});
  // Sorted by left edge, a box is compared only with those that start before it ends.
  std::sort(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) { return a.xmin < b.xmin; });
  qint64 pairs = 0;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size() && boxes[j].xmin <= boxes[i].xmax; ++j) {
      const Box& a = boxes[i];
      const Box& b = boxes[j];
      const double x1 = std::max(a.xmin, b.xmin), y1 = std::max(a.ymin, b.ymin);
      const double x2 = std::min(a.xmax, b.xmax), y2 = std::min(a.ymax, b.ymax);
      if (x2 < x1 || y2 < y1) continue;
      const double intersection = (x2 - x1) * (y2 - y1);
      const double uni = (a.xmax - a.xmin) * (a.ymax - a.ymin) + (b.xmax - b.xmin) * (b.ymax - b.ymin) - intersection;
      if (uni <= 0) continue;
      if (intersection / uni > 0.9) ++pairs;
    }
  }
  return pairs;
}

}  // namespace

Expected<HealthFindings> examine_folder(const QString& folder) {
  const QDir dir(folder);
  if (folder.isEmpty() || !dir.exists() || !dir.isReadable())
    return failure(QStringLiteral("The folder %1 cannot be read.").arg(QDir::toNativeSeparators(folder)));
  const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
  // Label files sit beside the images, or in the sibling labels/ of an images/ folder.
  const QString label_folder = label_folder_for(folder);
  const bool apart = label_folder != folder;

  QStringList images, labels;
  if (apart)
    for (const QString& name :
         QDir(label_folder).entryList({"*.txt", "*.TXT"}, QDir::Files | QDir::Hidden, QDir::Unsorted))
      if (name != QLatin1String("classes.txt")) labels << name;
  for (const QString& name : entries) {
    const QString lower = name.toLower();
    if (lower.endsWith(QLatin1String(".txt"))) {
      if (!apart && name != QLatin1String("classes.txt")) labels << name;
      continue;
    }
    if (is_image_name(name)) images << name;
  }

  HealthFindings findings;
  const QSet<QString> label_set(labels.cbegin(), labels.cend());
  QSet<QString> image_stems;
  for (const QString& image : images) {
    const QString s = stem(image);
    image_stems.insert(s);
    if (!label_set.contains(s + QStringLiteral(".txt"))) findings.unannotated << image;
  }
  for (const QString& label : labels) {
    if (!image_stems.contains(stem(label))) {
      findings.orphaned << label;
      continue;
    }
    if (const qint64 pairs = overlapping_pairs(QDir(label_folder).filePath(label))) {
      findings.overlap_issues << label + QStringLiteral(" (IoU > 90%)");
      findings.overlap_file_pairs << pairs;
      findings.overlap_pairs += pairs;
    }
  }
  return findings;
}

HealthFindings examine_pictures(const QVector<DatasetPicture>& pictures) {
  HealthFindings findings;
  QSet<QString> examined;
  for (const DatasetPicture& picture : pictures) {
    const QString label = picture.label_in_use();
    if (!is_regular_file(label)) {
      findings.unannotated << QFileInfo(picture.image).fileName();
      continue;
    }
    if (examined.contains(label)) continue;
    examined.insert(label);
    if (const qint64 pairs = overlapping_pairs(label)) {
      findings.overlap_issues << QFileInfo(label).fileName() + QStringLiteral(" (IoU > 90%)");
      findings.overlap_file_pairs << pairs;
      findings.overlap_pairs += pairs;
    }
  }
  return findings;
}

QString bracketed_list(const QStringList& names) {
  QStringList quoted;
  for (const QString& name : names) {
    const QChar q = name.contains('\'') ? QChar('"') : QChar('\'');
    quoted << q + name + q;
  }
  return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QString health_report_text(const HealthFindings& f) {
  QString report = QStringLiteral(
                       "🩺 Dataset QA Health Report:\n\nUnannotated Images: %1\nOrphaned Label Files: %2\n"
                       "Overlapping Polygons/Boxes (Duplicates): %3\n")
                       .arg(f.unannotated.size())
                       .arg(f.orphaned.size())
                       .arg(std::max<qint64>(f.overlap_pairs, f.overlap_issues.size()));
  if (!f.unannotated.isEmpty())
    report += QStringLiteral("\nMissing Annotations (Sample):\n") + bracketed_list(f.unannotated.mid(0, 3)) +
              QLatin1Char('\n');
  if (!f.overlap_issues.isEmpty()) {
    QStringList distinct;
    for (const QString& issue : f.overlap_issues)
      if (!distinct.contains(issue)) {
        distinct << issue;
        if (distinct.size() == 3) break;
      }
    report += QStringLiteral("\nHigh IoU Overlaps:\n") + bracketed_list(distinct);
  }
  // Label files without a picture are named too (after the report's own sections).
  if (!f.orphaned.isEmpty())
    report += QStringLiteral("%1\nOrphaned Label Files (Sample):\n")
                  .arg(report.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n")) +
              bracketed_list(f.orphaned.mid(0, 3));
  return report;
}

}  // namespace quorlan

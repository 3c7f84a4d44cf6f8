#include "dataset/health_check.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <algorithm>
#include <array>
#include <vector>

#include "core/label_files.h"
#include "core/text_scan.h"

namespace quorlan {
namespace {

const std::array<const char*, 5> kImageEndings = {".png", ".jpg", ".jpeg", ".webp", ".bmp"};

QString stem(const QString& name) {
  const int dot = name.lastIndexOf('.');
  return dot < 0 ? name : name.left(dot);
}

struct Box {
  double xmin, ymin, xmax, ymax;
};

// Adds one issue per pair of boxes in the file whose IoU exceeds 0.9. A bad token or a zero
// union ends the examination of this file; issues found before stay.
void examine_label_file(const QString& folder, const QString& name, QStringList& issues, std::string& buffer) {
  if (!read_whole_file(QFile::encodeName(QDir(folder).filePath(name)), buffer)) return;
  std::vector<Box> boxes;
  bool bad = false;
  for_each_line_tokens(buffer, [&](const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 5) return true;
    Box b{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 1; i < tokens.size(); ++i) {
      double v = 0;
      if (!parse_double(tokens[i], &v)) {
        bad = true;
        return false;
      }
      if (i % 2 == 1) {
        b.xmin = std::min(b.xmin, v);
        b.xmax = std::max(b.xmax, v);
      } else {
        b.ymin = std::min(b.ymin, v);
        b.ymax = std::max(b.ymax, v);
      }
    }
    boxes.push_back(b);
    return true;
  });
  if (bad) return;
  const QString issue = name + QStringLiteral(" (IoU > 90%)");
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      const Box& a = boxes[i];
      const Box& b = boxes[j];
      const double x1 = std::max(a.xmin, b.xmin), y1 = std::max(a.ymin, b.ymin);
      const double x2 = std::min(a.xmax, b.xmax), y2 = std::min(a.ymax, b.ymax);
      if (x2 < x1 || y2 < y1) continue;
      const double intersection = (x2 - x1) * (y2 - y1);
      const double uni = (a.xmax - a.xmin) * (a.ymax - a.ymin) + (b.xmax - b.xmin) * (b.ymax - b.ymin) - intersection;
      if (uni == 0) return;
      if (intersection / uni > 0.9) issues << issue;
    }
  }
}

}  // namespace

std::optional<HealthFindings> examine_folder(const QString& folder) {
  const QDir dir(folder);
  if (folder.isEmpty() || !dir.exists() || !dir.isReadable()) return std::nullopt;
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
    for (const char* ending : kImageEndings)
      if (lower.endsWith(QLatin1String(ending))) {
        images << name;
        break;
      }
  }

  HealthFindings findings;
  const QSet<QString> label_set(labels.cbegin(), labels.cend());
  QSet<QString> image_stems;
  for (const QString& image : images) {
    const QString s = stem(image);
    image_stems.insert(s);
    if (!label_set.contains(s + QStringLiteral(".txt"))) findings.unannotated << image;
  }
  std::string buffer;
  for (const QString& label : labels) {
    if (!image_stems.contains(stem(label))) {
      findings.orphaned << label;
      continue;
    }
    examine_label_file(label_folder, label, findings.overlap_issues, buffer);
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
                       .arg(f.overlap_issues.size());
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
  return report;
}

}  // namespace quorlan

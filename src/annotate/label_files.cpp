#include "annotate/label_files.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

namespace quorlan {
namespace {

const QRegularExpression& whitespace() {
  static const QRegularExpression re(QStringLiteral("\\s+"));
  return re;
}

QStringList tokens_of(const QString& line) {
  const QString trimmed = line.trimmed();
  if (trimmed.isEmpty()) return {};
  return trimmed.split(whitespace());
}

bool parse_number(const QString& token, double* value) {
  bool ok = false;
  *value = token.toDouble(&ok);
  return ok && std::isfinite(*value);
}

QString fixed6(double v) { return QString::number(v, 'f', 6); }

}  // namespace

QString label_path_for(const QString& image_path) {
  const int name_start = std::max(image_path.lastIndexOf('/'), image_path.lastIndexOf('\\')) + 1;
  const int dot = image_path.lastIndexOf('.');
  // A dot that opens the file name (".hidden") starts no extension.
  if (dot > name_start) return image_path.left(dot) + QStringLiteral(".txt");
  return image_path + QStringLiteral(".txt");
}

QString format_label_line(int class_id, const QPolygonF& scene_points, int width, int height) {
  QString line = QString::number(class_id);
  line.reserve(16 + scene_points.size() * 18);
  for (const QPointF& p : scene_points) {
    const double x = std::max(std::min(p.x() / width, 1.0), 0.0);
    const double y = std::max(std::min(p.y() / height, 1.0), 0.0);
    line += QLatin1Char(' ');
    line += fixed6(x);
    line += QLatin1Char(' ');
    line += fixed6(y);
  }
  return line;
}

LabelReadResult parse_label_text(const QString& text, int class_count, int width, int height) {
  LabelReadResult result;
  const QStringList lines = text.split('\n');
  for (int n = 0; n < lines.size(); ++n) {
    const QStringList parts = tokens_of(lines[n]);
    if (parts.size() < 3) continue;
    bool ok = false;
    const int class_id = parts[0].toInt(&ok);
    if (!ok) {
      result.error = QStringLiteral("line %1: class id '%2' is not an integer").arg(n + 1).arg(parts[0]);
      return result;
    }
    // A negative id would index the class list from its end and silently relabel the shape.
    if (class_id < 0 || class_id >= class_count) continue;
    if ((parts.size() - 1) % 2 != 0) {
      result.error = QStringLiteral("line %1: odd number of coordinates (%2)").arg(n + 1).arg(parts.size() - 1);
      return result;
    }
    LabelShape shape;
    shape.class_id = class_id;
    shape.points.reserve((parts.size() - 1) / 2);
    for (int i = 1; i + 1 < parts.size(); i += 2) {
      double x = 0, y = 0;
      if (!parse_number(parts[i], &x) || !parse_number(parts[i + 1], &y)) {
        const QString bad = parse_number(parts[i], &x) ? parts[i + 1] : parts[i];
        result.error = QStringLiteral("line %1: '%2' is not a finite number").arg(n + 1).arg(bad);
        return result;
      }
      shape.points.append(QPointF(x * width, y * height));
    }
    result.shapes.append(shape);
  }
  return result;
}

LabelReadResult read_label_file(const QString& path, int class_count, int width, int height) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    LabelReadResult failed;
    failed.error = QStringLiteral("%1: %2").arg(path, file.errorString());
    return failed;
  }
  return parse_label_text(QString::fromLocal8Bit(file.readAll()), class_count, width, height);
}

std::optional<QString> polygon_line_to_box_line(const QString& line, QString* error) {
  const QStringList parts = tokens_of(line);
  if (parts.size() < 3) return std::nullopt;
  double min_x = INFINITY, max_x = -INFINITY, min_y = INFINITY, max_y = -INFINITY;
  for (int i = 1; i < parts.size(); ++i) {
    double v = 0;
    if (!parse_number(parts[i], &v)) {
      if (error) *error = QStringLiteral("'%1' is not a number").arg(parts[i]);
      return std::nullopt;
    }
    if ((i - 1) % 2 == 0) {
      min_x = std::min(min_x, v);
      max_x = std::max(max_x, v);
    } else {
      min_y = std::min(min_y, v);
      max_y = std::max(max_y, v);
    }
  }
  return QStringLiteral("%1 %2 %3 %4 %5\n")
      .arg(parts[0], fixed6((min_x + max_x) / 2.0), fixed6((min_y + max_y) / 2.0), fixed6(max_x - min_x),
           fixed6(max_y - min_y));
}

std::optional<QStringList> read_classes_file(const QString& path) {
  if (!QFileInfo::exists(path)) return std::nullopt;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return QStringList();
  QStringList classes;
  for (const QString& line : QString::fromLocal8Bit(file.readAll()).split('\n')) {
    const QString name = line.trimmed();
    if (!name.isEmpty()) classes << name;
  }
  return classes;
}

QByteArray classes_file_bytes(const QStringList& classes) {
  QByteArray bytes;
  for (const QString& name : classes) bytes += name.toLocal8Bit() + '\n';
  return bytes;
}

QString status_mark(bool annotated) {
  return annotated ? QStringLiteral("[✓] ") : QStringLiteral("[  ] ");
}

}  // namespace quorlan

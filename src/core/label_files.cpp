#include "core/label_files.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/atomic_file.h"

namespace quorlan {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

QList<QByteArray> tokens_of(const QByteArray& line) {
  QList<QByteArray> tokens;
  int i = 0;
  const int n = line.size();
  while (i < n) {
    while (i < n && is_blank(line[i])) ++i;
    const int start = i;
    while (i < n && !is_blank(line[i])) ++i;
    if (i > start) tokens.append(line.mid(start, i - start));
  }
  return tokens;
}

bool parse_number(const QByteArray& token, double* value) {
  bool ok = false;
  *value = token.toDouble(&ok);
  return ok && std::isfinite(*value);
}

double clamp01(double v) { return std::max(std::min(v, 1.0), 0.0) + 0.0; }

}  // namespace

QString fixed6(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value + 0.0, std::chars_format::fixed, 6);
  if (ec != std::errc()) return QString::number(value, 'f', 6);
  QString text = QString::fromLatin1(buffer, static_cast<int>(end - buffer));
  if (text == QLatin1String("-0.000000")) text = QStringLiteral("0.000000");
  return text;
}

QString label_folder_for(const QString& image_folder) {
  // The engine's rule: the last folder named "images" on the path stands for "labels"
  // (set/images -> set/labels, set/images/train -> set/labels/train), when that folder exists.
  QStringList parts = QDir::cleanPath(QFileInfo(image_folder).absoluteFilePath()).split(QLatin1Char('/'));
  const int at = parts.lastIndexOf(QStringLiteral("images"));
  if (at < 0) return image_folder;
  parts[at] = QStringLiteral("labels");
  const QString labels = parts.join(QLatin1Char('/'));
  return QFileInfo(labels).isDir() ? labels : image_folder;
}

QString label_path_in(const QString& label_folder, const QString& image_path) {
  const int name_start = std::max(image_path.lastIndexOf('/'), image_path.lastIndexOf('\\')) + 1;
  QString name = image_path.mid(name_start);
  const int dot = name.lastIndexOf('.');
  // A dot that opens the file name (".hidden") starts no extension.
  name = dot > 0 ? name.left(dot) + QStringLiteral(".txt") : name + QStringLiteral(".txt");
  if (label_folder.isEmpty()) return name;
  return label_folder.endsWith('/') ? label_folder + name : label_folder + QLatin1Char('/') + name;
}

QString label_path_for(const QString& image_path) {
  const int name_start = std::max(image_path.lastIndexOf('/'), image_path.lastIndexOf('\\')) + 1;
  if (name_start == 0) return label_path_in(QString(), image_path);
  const QString folder = image_path.left(name_start - 1);
  return label_path_in(folder.contains(QLatin1String("images")) ? label_folder_for(folder) : folder, image_path);
}

QString format_label_line(int class_id, const QPolygonF& scene_points, int width, int height) {
  QString line = QString::number(class_id);
  line.reserve(16 + scene_points.size() * 18);
  for (const QPointF& p : scene_points) {
    line += QLatin1Char(' ');
    line += fixed6(clamp01(p.x() / width));
    line += QLatin1Char(' ');
    line += fixed6(clamp01(p.y() / height));
  }
  return line;
}

QPolygonF box_corners(const QRectF& box) {
  return QPolygonF({box.topLeft(), box.topRight(), box.bottomRight(), box.bottomLeft()});
}

QString format_box_line(int class_id, const QPolygonF& scene_points, int width, int height) {
  const QRectF r = scene_points.boundingRect();
  const double x1 = clamp01(r.left() / width), x2 = clamp01(r.right() / width);
  const double y1 = clamp01(r.top() / height), y2 = clamp01(r.bottom() / height);
  return QStringLiteral("%1 %2 %3 %4 %5")
      .arg(class_id)
      .arg(fixed6((x1 + x2) / 2.0), fixed6((y1 + y2) / 2.0), fixed6(x2 - x1), fixed6(y2 - y1));
}

QVector<LabelLine> split_label_lines(const QByteArray& bytes, QByteArray* eol) {
  if (eol) {
    const int first_break = bytes.indexOf('\n');
    if (first_break > 0 && bytes[first_break - 1] == '\r')
      *eol = "\r\n";
    else if (first_break < 0 && bytes.contains('\r'))
      *eol = "\r";
    else
      *eol = "\n";
  }
  QVector<LabelLine> lines;
  int pos = 0;
  const int n = bytes.size();
  int line_number = 0;
  while (pos < n) {
    int end = pos;
    while (end < n && bytes[end] != '\n' && bytes[end] != '\r') ++end;
    LabelLine line;
    line.number = ++line_number;
    line.raw = bytes.mid(pos, end - pos);
    if (end >= n)
      pos = n;
    else if (bytes[end] == '\r' && end + 1 < n && bytes[end + 1] == '\n')
      pos = end + 2;
    else
      pos = end + 1;
    line.end = bytes.mid(end, pos - end);
    const QList<QByteArray> parts = tokens_of(line.raw);
    line.tokens = static_cast<int>(parts.size());
    if (!parts.isEmpty()) {
      line.class_token = parts[0];
      // A byte-order mark opening the file is no part of the class (the engine reads UTF-8-SIG).
      if (line.number == 1 && line.class_token.startsWith("\xEF\xBB\xBF")) line.class_token.remove(0, 3);
      line.values.reserve(line.tokens - 1);
      for (int i = 1; i < line.tokens; ++i) {
        double v = 0;
        if (!parse_number(parts[i], &v)) {
          line.malformed = QStringLiteral("'%1' is not a finite number").arg(QString::fromUtf8(parts[i]));
          line.values.clear();
          break;
        }
        line.values.append(v);
      }
    }
    lines.append(std::move(line));
  }
  return lines;
}

KindCounts count_kinds(const QVector<LabelLine>& lines) {
  KindCounts counts;
  for (const LabelLine& line : lines) {
    if (line.is_box())
      ++counts.boxes;
    else if (line.is_polygon())
      ++counts.polygons;
  }
  return counts;
}

LabelReadResult parse_label_bytes(const QByteArray& bytes, int class_count, int width, int height) {
  LabelReadResult result;
  const auto note = [&](const LabelLine& line, const QString& text) {
    if (result.first_malformed.isEmpty())
      result.first_malformed = QStringLiteral("line %1: %2").arg(line.number).arg(text);
  };
  // The file's own line break is kept for the lines written back.
  for (const LabelLine& line : split_label_lines(bytes, &result.eol)) {
    if (line.blank()) continue;  // a blank line carries nothing
    if (line.tokens < 3) {
      result.kept.append(line.raw);
      continue;
    }
    bool ok = false;
    int class_id = line.class_token.toInt(&ok);
    if (!ok) {
      // A whole number written as a decimal ("0.0"), which the engine takes as that class.
      const double whole = line.class_token.toDouble(&ok);
      ok = ok && std::isfinite(whole) && whole == std::floor(whole) && std::abs(whole) < 1e9;
      if (ok) class_id = static_cast<int>(whole);
    }
    if (!ok) {
      note(line, QStringLiteral("class id '%1' is not an integer").arg(QString::fromUtf8(line.class_token)));
      result.kept.append(line.raw);
      continue;
    }
    if (class_id < 0 || (class_count >= 0 && class_id >= class_count)) {
      result.kept.append(line.raw);
      continue;
    }
    if (!line.malformed.isEmpty()) {
      note(line, line.malformed);
      result.kept.append(line.raw);
      continue;
    }
    const QVector<double>& values = line.values;
    const int numbers = static_cast<int>(values.size());
    if (numbers % 2 != 0) {
      note(line, QStringLiteral("odd number of coordinates (%1)").arg(numbers));
      result.kept.append(line.raw);
      continue;
    }
    LabelShape shape;
    shape.class_id = class_id;
    shape.raw = line.raw;
    shape.line = line.number;
    if (line.is_box()) {  // a box line: centre and size
      shape.box = true;
      const double x1 = (values[0] - values[2] / 2.0) * width, x2 = (values[0] + values[2] / 2.0) * width;
      const double y1 = (values[1] - values[3] / 2.0) * height, y2 = (values[1] + values[3] / 2.0) * height;
      shape.points = QPolygonF({{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}});
    } else if (numbers < 6) {  // a single point is no shape
      result.kept.append(line.raw);
      continue;
    } else {
      shape.points.reserve(numbers / 2);
      for (int i = 0; i + 1 < numbers; i += 2) shape.points.append(QPointF(values[i] * width, values[i + 1] * height));
    }
    result.shapes.append(shape);
  }
  return result;
}

LabelReadResult parse_label_text(const QString& text, int class_count, int width, int height) {
  return parse_label_bytes(text.toUtf8(), class_count, width, height);
}

Expected<LabelReadResult> read_label_file(const QString& path, int class_count, int width, int height) {
  if (!file_stamp(path).exists) return LabelReadResult{};
  const Expected<QByteArray> loaded = read_regular_file(path);
  if (!loaded) return failure(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), loaded.error()));
  return parse_label_bytes(*loaded, class_count, width, height);
}

LabelLine::Bounds LabelLine::bounds() const {
  const QVector<double>& v = values;
  if (is_box()) return {v[0] - v[2] / 2.0, v[1] - v[3] / 2.0, v[0] + v[2] / 2.0, v[1] + v[3] / 2.0};
  double min_x = INFINITY, max_x = -INFINITY, min_y = INFINITY, max_y = -INFINITY;
  for (int i = 0; i < v.size(); ++i) {
    if (i % 2 == 0) {
      min_x = std::min(min_x, v[i]);
      max_x = std::max(max_x, v[i]);
    } else {
      min_y = std::min(min_y, v[i]);
      max_y = std::max(max_y, v[i]);
    }
  }
  return {min_x, min_y, max_x, max_y};
}

Expected<QString> box_line_of(const LabelLine& line) {
  if (line.tokens < 3) return QString();
  if (!line.malformed.isEmpty()) return failure(line.malformed);
  const QString cls = QString::fromUtf8(line.class_token);
  const QVector<double>& v = line.values;
  if (line.is_box())  // already a box: its own numbers
    return QStringLiteral("%1 %2 %3 %4 %5\n").arg(cls, fixed6(v[0]), fixed6(v[1]), fixed6(v[2]), fixed6(v[3]));
  const LabelLine::Bounds b = line.bounds();
  return QStringLiteral("%1 %2 %3 %4 %5\n")
      .arg(cls, fixed6((b.x1 + b.x2) / 2.0), fixed6((b.y1 + b.y2) / 2.0), fixed6(b.x2 - b.x1), fixed6(b.y2 - b.y1));
}

Expected<QString> polygon_line_to_box_line(const QString& line) {
  const QVector<LabelLine> lines = split_label_lines(line.trimmed().toUtf8());
  if (lines.isEmpty()) return QString();
  return box_line_of(lines.first());
}

std::optional<QStringList> read_classes_file(const QString& path) {
  if (!QFileInfo::exists(path)) return std::nullopt;
  const Expected<QByteArray> loaded = read_regular_file(path);
  if (!loaded) return QStringList();
  const QByteArray& bytes = *loaded;
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(bytes);
  if (utf8.hasError()) text = QString::fromLatin1(bytes);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace('\r', '\n');
  QStringList classes;
  for (const QString& line : text.split('\n')) {
    // As a name is written back (control characters become blanks), so it is read: a list read
    // and written reads back the same.
    const QString name = clean_class_name(line);
    if (!name.isEmpty()) classes << name;
  }
  return classes;
}

QByteArray classes_file_bytes(const QStringList& classes) {
  QByteArray bytes;
  for (int id = 0; id < classes.size(); ++id) {
    // An empty line would be skipped by every reader and shift the ids after it: its id stands in.
    const QString name = clean_class_name(classes[id]);
    bytes += (name.isEmpty() ? QString::number(id) : name).toUtf8() + '\n';
  }
  return bytes;
}

bool has_control_characters(const QString& name) {
  return std::any_of(name.cbegin(), name.cend(), [](QChar c) {
    return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
           c.category() == QChar::Separator_Paragraph;
  });
}

QString clean_class_name(const QString& name) {
  QString out = name;
  for (QChar& c : out)
    if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
        c.category() == QChar::Separator_Paragraph)
      c = QLatin1Char(' ');
  return out.trimmed();
}

QString status_mark(bool annotated) { return annotated ? QStringLiteral("[✓] ") : QStringLiteral("[  ] "); }

QString status_mark(LabelMark mark) {
  return mark == LabelMark::Background ? QStringLiteral("[∅] ") : status_mark(mark == LabelMark::Annotated);
}

}  // namespace quorlan

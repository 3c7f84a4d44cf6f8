#include "core/engine_labels.h"

#include <QStringDecoder>
#include <QStringList>
#include <QVector>
#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

namespace quorlan {
namespace {

// Python's str.splitlines() boundaries.
bool is_line_break(QChar c) {
  const char16_t u = c.unicode();
  return u == '\n' || u == '\r' || u == 0x0B || u == 0x0C || u == 0x1C || u == 0x1D || u == 0x1E || u == 0x85 ||
         u == 0x2028 || u == 0x2029;
}

// Python's str.split() white space (str.isspace()).
bool is_python_space(QChar c) {
  const char16_t u = c.unicode();
  return (u >= 0x09 && u <= 0x0D) || (u >= 0x1C && u <= 0x20) || u == 0x85 || u == 0xA0 || u == 0x1680 ||
         (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F || u == 0x205F || u == 0x3000;
}

QStringList python_split(const QString& line) {
  QStringList tokens;
  QString token;
  for (QChar c : line) {
    if (is_python_space(c)) {
      if (!token.isEmpty()) tokens << token;
      token.clear();
    } else {
      token += c;
    }
  }
  if (!token.isEmpty()) tokens << token;
  return tokens;
}

// float(token) as numpy's float32 conversion reads it; nullopt when it is no number.
std::optional<float> python_float(const QString& token) {
  QString t = token;
  t.remove(QLatin1Char('_'));  // Python accepts digit separators
  bool ok = false;
  const double v = t.toDouble(&ok);
  if (ok) return static_cast<float>(v);
  const QString lower = t.toLower();
  for (const char* inf : {"inf", "+inf", "infinity", "+infinity"})
    if (lower == QLatin1String(inf)) return INFINITY;
  for (const char* inf : {"-inf", "-infinity"})
    if (lower == QLatin1String(inf)) return -INFINITY;
  if (lower == QLatin1String("nan") || lower == QLatin1String("+nan") || lower == QLatin1String("-nan")) return NAN;
  return std::nullopt;
}

EngineLabelVerdict rejected(const QString& reason) {
  EngineLabelVerdict v;
  v.outcome = EngineLabelVerdict::Outcome::Rejected;
  v.reason = reason;
  return v;
}

}  // namespace

EngineLabelVerdict engine_label_verdict(const QByteArray& bytes, int class_count) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(bytes);
  if (utf8.hasError()) return rejected(QStringLiteral("the file is not UTF-8 text"));
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);  // utf-8-sig
  std::vector<QStringList> rows;
  QString line;
  const auto end_line = [&] {
    if (!line.trimmed().isEmpty() || !python_split(line).isEmpty()) {
      const QStringList tokens = python_split(line);
      if (!tokens.isEmpty()) rows.push_back(tokens);
    }
    line.clear();
  };
  for (QChar c : text) {
    if (is_line_break(c))
      end_line();
    else
      line += c;
  }
  end_line();

  EngineLabelVerdict verdict;
  if (rows.empty()) {
    verdict.outcome = EngineLabelVerdict::Outcome::Empty;
    return verdict;
  }
  // Each kept row as class, x, y, w, h (float32, as the engine holds them).
  std::vector<std::array<float, 5>> boxes;
  std::vector<std::vector<float>> segment_points;  // per row, for the duplicate check of segments
  verdict.segments = std::any_of(rows.begin(), rows.end(), [](const QStringList& r) { return r.size() > 6; });
  if (verdict.segments) {
    if (std::any_of(rows.begin(), rows.end(), [](const QStringList& r) { return r.size() == 5; }))
      return rejected(QStringLiteral("labels mix segment and detection rows"));
    for (const QStringList& r : rows) {
      std::vector<float> values;
      for (const QString& token : r) {
        const std::optional<float> v = python_float(token);
        if (!v) return rejected(QStringLiteral("could not convert string to float: '%1'").arg(token));
        values.push_back(*v);
      }
      if (values.size() == 1) return rejected(QStringLiteral("a segment row without points"));
      if ((values.size() - 1) % 2 != 0)
        return rejected(
            QStringLiteral("a segment row of %1 coordinates cannot be read as points").arg(values.size() - 1));
      // The segment's box, as segments2boxes gives it.
      float x1 = INFINITY, y1 = INFINITY, x2 = -INFINITY, y2 = -INFINITY;
      for (std::size_t i = 1; i + 1 < values.size(); i += 2) {
        x1 = std::min(x1, values[i]), x2 = std::max(x2, values[i]);
        y1 = std::min(y1, values[i + 1]), y2 = std::max(y2, values[i + 1]);
      }
      boxes.push_back({values[0], (x1 + x2) / 2, (y1 + y2) / 2, x2 - x1, y2 - y1});
      segment_points.emplace_back(values.begin() + 1, values.end());
    }
  } else {
    const qsizetype width = rows.front().size();
    for (const QStringList& r : rows)
      if (r.size() != width)
        return rejected(QStringLiteral("rows of different lengths (%1 and %2 values)").arg(width).arg(r.size()));
    if (width != 5) return rejected(QStringLiteral("labels require 5 columns, %1 columns detected").arg(width));
    for (const QStringList& r : rows) {
      std::array<float, 5> box{};
      for (int i = 0; i < 5; ++i) {
        const std::optional<float> v = python_float(r[i]);
        if (!v) return rejected(QStringLiteral("could not convert string to float: '%1'").arg(r[i]));
        box[static_cast<std::size_t>(i)] = *v;
      }
      boxes.push_back(box);
    }
  }
  // The engine's checks, in its order. A NaN fails every comparison, as in NumPy.
  float max_point = -INFINITY, min_all = INFINITY, min_size = INFINITY;
  bool nan = false;
  for (const auto& b : boxes) {
    for (int i = 0; i < 5; ++i) {
      if (std::isnan(b[static_cast<std::size_t>(i)])) nan = true;
      min_all = std::min(min_all, b[static_cast<std::size_t>(i)]);
      if (i >= 1) max_point = std::max(max_point, b[static_cast<std::size_t>(i)]);
      if (i >= 3) min_size = std::min(min_size, b[static_cast<std::size_t>(i)]);
    }
  }
  if (nan || !(max_point <= 1.01f)) return rejected(QStringLiteral("non-normalized or out of bounds coordinates"));
  if (!(min_all >= 0 || (min_all >= -0.01f && min_size >= 0))) return rejected(QStringLiteral("negative label values"));
  for (const auto& b : boxes)
    if (std::fmod(b[0], 1.0f) != 0) return rejected(QStringLiteral("non-integer class labels"));
  float max_cls = 0;
  for (const auto& b : boxes) max_cls = std::max(max_cls, b[0]);
  if (class_count > 0 && max_cls >= class_count)
    return rejected(QStringLiteral("Label class %1 exceeds dataset class count %2")
                        .arg(static_cast<long long>(max_cls))
                        .arg(class_count));
  // Values just beyond 0..1 pass the tolerance and are clipped later.
  for (const auto& b : boxes) {
    const float x1 = b[1] - b[3] / 2, x2 = b[1] + b[3] / 2, y1 = b[2] - b[4] / 2, y2 = b[2] + b[4] / 2;
    if (x1 < 0 || y1 < 0 || x2 > 1 || y2 > 1 || max_point > 1 || min_all < 0) verdict.clipped = true;
  }
  // Duplicate rows are removed (segments: the same class, box and points).
  std::set<std::vector<float>> seen;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    std::vector<float> key(boxes[i].begin(), boxes[i].end());
    if (verdict.segments) key.insert(key.end(), segment_points[i].begin(), segment_points[i].end());
    if (!seen.insert(key).second) ++verdict.duplicates;
  }
  verdict.rows = static_cast<int>(boxes.size()) - verdict.duplicates;
  return verdict;
}

}  // namespace quorlan

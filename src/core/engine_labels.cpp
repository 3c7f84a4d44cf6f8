#include "core/engine_labels.h"

#include "core/expected.h"

#include <QStringDecoder>
#include <QStringList>
#include <QVector>
#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
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

// float(token) as numpy's float32 conversion reads it; nullopt when it is no number.
std::optional<float> python_float(QStringView token) {
  QString t = token.toString();
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

// A line of the file holding anything but white space, split on white space.
struct Row {
  int line;
  QStringView text;
  QVector<QStringView> tokens;
};

// The rows of `all`: lines as str.splitlines() cuts them, white-space ones left out.
std::vector<Row> split_rows(QStringView all) {
  std::vector<Row> rows;
  int line_number = 0;
  for (qsizetype start = 0; start <= all.size();) {
    qsizetype end = start;
    while (end < all.size() && !is_line_break(all[end])) ++end;
    ++line_number;
    Row row{line_number, all.mid(start, end - start), {}};
    for (qsizetype i = 0; i < row.text.size();) {
      while (i < row.text.size() && is_python_space(row.text[i])) ++i;
      const qsizetype token = i;
      while (i < row.text.size() && !is_python_space(row.text[i])) ++i;
      if (i > token) row.tokens.append(row.text.mid(token, i - token));
    }
    if (!row.tokens.isEmpty()) rows.push_back(std::move(row));
    if (end >= all.size()) break;
    // CR LF is one break.
    start = end + (all[end] == QLatin1Char('\r') && end + 1 < all.size() && all[end + 1] == QLatin1Char('\n') ? 2 : 1);
  }
  return rows;
}

// The rows' shape as the engine takes it: segments when any row is longer than a box, else five
// values in every row.
Status check_widths(const std::vector<Row>& rows, bool segments) {
  if (segments) {
    if (std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.tokens.size() == 5; }))
      return failure(QStringLiteral("labels mix segment and detection rows"));
    return {};
  }
  const qsizetype width = rows.front().tokens.size();
  for (const Row& r : rows)
    if (r.tokens.size() != width)
      return failure(QStringLiteral("rows of different lengths (%1 and %2 values)").arg(width).arg(r.tokens.size()));
  if (width != 5) return failure(QStringLiteral("labels require 5 columns, %1 columns detected").arg(width));
  return {};
}

Expected<float> token_value(QStringView token) {
  if (const std::optional<float> v = python_float(token)) return *v;
  return failure(QStringLiteral("could not convert string to float: '%1'").arg(token));
}

// A segment row's points and the box segments2boxes gives them (a NaN anywhere makes it NaN, as
// NumPy's min does).
Status read_segment(const Row& r, LabelRow& row) {
  if (r.tokens.size() == 1) return failure(QStringLiteral("a segment row without points"));
  for (qsizetype i = 1; i < r.tokens.size(); ++i) {
    const Expected<float> v = token_value(r.tokens[i]);
    if (!v) return failure(v.error());
    row.points.append(*v);
  }
  if (row.points.size() % 2 != 0)
    return failure(QStringLiteral("a segment row of %1 coordinates cannot be read as points").arg(row.points.size()));
  float x1 = INFINITY, y1 = INFINITY, x2 = -INFINITY, y2 = -INFINITY;
  bool nan = false;
  for (qsizetype i = 0; i + 1 < row.points.size(); i += 2) {
    nan = nan || std::isnan(row.points[i]) || std::isnan(row.points[i + 1]);
    x1 = std::min(x1, row.points[i]), x2 = std::max(x2, row.points[i]);
    y1 = std::min(y1, row.points[i + 1]), y2 = std::max(y2, row.points[i + 1]);
  }
  if (nan) x1 = y1 = x2 = y2 = NAN;
  row.x = (x1 + x2) / 2, row.y = (y1 + y2) / 2, row.w = x2 - x1, row.h = y2 - y1;
  return {};
}

// One row as class, x, y, w, h (float32, as the engine holds them), with its points for a
// segment; `cls` is the class as read.
Status read_row(const Row& r, bool segment, LabelRow& row, float& cls) {
  row.line = r.line;
  row.raw = r.text.toUtf8();
  row.segment = segment;
  const Expected<float> read_class = token_value(r.tokens[0]);
  if (!read_class) return failure(read_class.error());
  cls = *read_class;
  if (segment) {
    if (const Status points = read_segment(r, row); !points) return points;
  } else {
    float v[4] = {};
    for (int i = 0; i < 4; ++i) {
      const Expected<float> value = token_value(r.tokens[i + 1]);
      if (!value) return failure(value.error());
      v[i] = *value;
    }
    row.x = v[0], row.y = v[1], row.w = v[2], row.h = v[3];
  }
  // A class that is not a whole number is marked; it is refused after the coordinate checks.
  const bool whole = std::isfinite(cls) && std::fmod(cls, 1.0f) == 0;
  row.class_id = whole ? static_cast<int>(std::clamp(cls, -2e9f, 2e9f)) : INT_MIN;
  return {};
}

// The engine's checks of the values, in its order (a NaN fails every comparison, as in NumPy);
// sets verdict.clipped for values just beyond 0..1, which pass the tolerance and are clipped.
Status check_values(const QVector<LabelRow>& read, const std::vector<float>& classes, int class_count,
                    EngineLabelVerdict& verdict) {
  float max_point = -INFINITY, min_all = INFINITY, min_size = INFINITY;
  bool nan = false, nan_class = false;
  for (float cls : classes) {
    nan_class = nan_class || std::isnan(cls);
    min_all = std::min(min_all, cls);
  }
  for (const LabelRow& r : read) {
    const float b[4] = {r.x, r.y, r.w, r.h};
    for (int i = 0; i < 4; ++i) {
      nan = nan || std::isnan(b[i]);
      max_point = std::max(max_point, b[i]);
      min_all = std::min(min_all, b[i]);
      if (i >= 2) min_size = std::min(min_size, b[i]);
    }
  }
  if (nan || !(max_point <= 1.01f)) return failure(QStringLiteral("non-normalized or out of bounds coordinates"));
  if (nan_class || !(min_all >= 0 || (min_all >= -0.01f && min_size >= 0)))
    return failure(QStringLiteral("negative label values"));
  int max_cls = 0;
  for (const LabelRow& r : read) {
    if (r.class_id == INT_MIN) return failure(QStringLiteral("non-integer class labels"));
    max_cls = std::max(max_cls, r.class_id);
  }
  if (class_count > 0 && max_cls >= class_count)
    return failure(QStringLiteral("Label class %1 exceeds dataset class count %2").arg(max_cls).arg(class_count));
  for (const LabelRow& r : read) {
    const float x1 = r.x - r.w / 2, x2 = r.x + r.w / 2, y1 = r.y - r.h / 2, y2 = r.y + r.h / 2;
    if (x1 < 0 || y1 < 0 || x2 > 1 || y2 > 1 || max_point > 1 || min_all < 0) verdict.clipped = true;
  }
  return {};
}

// Duplicate rows are removed by the engine (segments: the same class and points).
void mark_duplicates(QVector<LabelRow>& read, bool segments, EngineLabelVerdict& verdict) {
  std::set<std::vector<float>> seen;
  for (LabelRow& r : read) {
    std::vector<float> key{static_cast<float>(r.class_id), r.x, r.y, r.w, r.h};
    if (segments) key.insert(key.end(), r.points.begin(), r.points.end());
    if (!seen.insert(key).second) {
      ++verdict.duplicates;
      r.duplicate = true;
    }
  }
}

}  // namespace

EngineLabelVerdict engine_label_verdict(const QByteArray& bytes, int class_count) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(bytes);
  if (utf8.hasError()) return rejected(QStringLiteral("the file is not UTF-8 text"));
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);  // utf-8-sig
  const std::vector<Row> rows = split_rows(text);
  EngineLabelVerdict verdict;
  if (rows.empty()) {
    verdict.outcome = EngineLabelVerdict::Outcome::Empty;
    return verdict;
  }
  verdict.segments = std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.tokens.size() > 6; });
  if (const Status widths = check_widths(rows, verdict.segments); !widths) return rejected(widths.error());
  QVector<LabelRow> read;
  std::vector<float> classes;  // each row's class as read
  read.reserve(static_cast<int>(rows.size()));
  for (const Row& r : rows) {
    LabelRow row;
    float cls = 0;
    if (const Status ok = read_row(r, verdict.segments, row, cls); !ok) return rejected(ok.error());
    classes.push_back(cls);
    read.append(std::move(row));
  }
  if (const Status values = check_values(read, classes, class_count, verdict); !values) return rejected(values.error());
  mark_duplicates(read, verdict.segments, verdict);
  verdict.kept = std::move(read);
  verdict.rows = static_cast<int>(verdict.kept.size()) - verdict.duplicates;
  return verdict;
}

}  // namespace quorlan

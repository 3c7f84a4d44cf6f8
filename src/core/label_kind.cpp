#include "core/label_kind.h"

#include <QDir>

#include "core/atomic_file.h"

namespace quorlan {

QString label_kind_name(LabelKind kind) {
  return kind == LabelKind::Boxes ? QStringLiteral("Boxes") : QStringLiteral("Polygons");
}

std::optional<LabelKind> label_kind_of_files(const QStringList& label_paths, int max_files) {
  KindCounts total;
  int read = 0;
  for (const QString& path : label_paths) {
    if (read >= max_files) break;
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) continue;
    ++read;
    const KindCounts counts = count_kinds(split_label_lines(*loaded));
    total.boxes += counts.boxes;
    total.polygons += counts.polygons;
  }
  if (total.boxes == 0 && total.polygons == 0) return std::nullopt;
  return total.boxes > total.polygons ? LabelKind::Boxes : LabelKind::Polygons;
}

namespace {

QByteArray corners_line(const LabelLine& line) {
  const QVector<double>& v = line.values;
  const double x1 = v[0] - v[2] / 2.0, x2 = v[0] + v[2] / 2.0;
  const double y1 = v[1] - v[3] / 2.0, y2 = v[1] + v[3] / 2.0;
  QByteArray out = line.class_token;
  for (const auto& [x, y] : {std::pair{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}})
    out += ' ' + fixed6(x).toLatin1() + ' ' + fixed6(y).toLatin1();
  return out;
}

// The converted lines and how many changed.
std::pair<QByteArray, int> convert(const QByteArray& bytes, LabelKind to) {
  QByteArray eol;
  const QVector<LabelLine> lines = split_label_lines(bytes, &eol);
  QByteArray out;
  int changed = 0;
  for (const LabelLine& line : lines) {
    QByteArray text = line.raw;
    if (to == LabelKind::Polygons && line.is_box()) {
      text = corners_line(line);
      ++changed;
    } else if (to == LabelKind::Boxes && line.is_polygon()) {
      text = box_line_of(line).value().trimmed().toUtf8();  // a polygon line's numbers all read
      ++changed;
    }
    out += text + eol;
  }
  // A last line without its break keeps that form.
  if (!bytes.isEmpty() && !bytes.endsWith('\n') && !bytes.endsWith('\r')) out.chop(eol.size());
  return {out, changed};
}

}  // namespace

std::optional<QByteArray> converted_label_bytes(const QByteArray& bytes, LabelKind to) {
  auto [out, changed] = convert(bytes, to);
  if (changed == 0) return std::nullopt;
  return out;
}

KindSwitch plan_kind_switch(const QStringList& label_paths, LabelKind to) {
  KindSwitch plan;
  for (const QString& path : label_paths) {
    if (!file_stamp(path).exists) continue;
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) {
      plan.unreadable << path;
      continue;
    }
    const int changed = convert(*loaded, to).second;
    if (changed == 0) continue;
    plan.files << path;
    plan.lines += changed;
  }
  return plan;
}

Expected<int> apply_kind_switch(const KindSwitch& plan, LabelKind to) {
  int written = 0;
  for (const QString& path : plan.files) {
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) return failure(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), loaded.error()));
    const std::optional<QByteArray> converted = converted_label_bytes(*loaded, to);
    if (!converted) continue;
    const Status saved = write_file_atomically(path, *converted);
    if (!saved) return failure(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), saved.error()));
    ++written;
  }
  return written;
}

}  // namespace quorlan

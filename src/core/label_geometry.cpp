#include "core/label_geometry.h"

#include <QDir>

#include <QFileInfo>
#include <cmath>

#include "core/atomic_file.h"
#include "core/dataset_reader.h"

namespace quorlan {
namespace {

// One edge of Sutherland–Hodgman: keeps the side where `inside` holds.
template <typename Inside, typename Cross>
QPolygonF clip_edge(const QPolygonF& in, Inside inside, Cross cross) {
  QPolygonF out;
  if (in.isEmpty()) return out;
  out.reserve(in.size() + 4);
  QPointF prev = in.last();
  bool prev_in = inside(prev);
  for (const QPointF& cur : in) {
    const bool cur_in = inside(cur);
    if (cur_in) {
      if (!prev_in) out << cross(prev, cur);
      out << cur;
    } else if (prev_in) {
      out << cross(prev, cur);
    }
    prev = cur;
    prev_in = cur_in;
  }
  return out;
}

QPointF at_x(QPointF a, QPointF b, double x) {
  const double t = (x - a.x()) / (b.x() - a.x());
  return {x, a.y() + t * (b.y() - a.y())};
}

// The lines of a label file that could not be read (blank ones do not count).
int unreadable_lines(const LabelReadResult& read) {
  int count = 0;
  for (const QByteArray& line : read.kept)
    if (!line.trimmed().isEmpty()) ++count;
  return count;
}

QPointF at_y(QPointF a, QPointF b, double y) {
  const double t = (y - a.y()) / (b.y() - a.y());
  return {a.x() + t * (b.x() - a.x()), y};
}

}  // namespace

Expected<SourceLabels> read_source_labels(const QString& image_path, QSize size) {
  SourceLabels labels;
  labels.path = picture_at(image_path).label_in_use();
  if (!file_stamp(labels.path).exists) return labels;
  labels.found = true;
  const QString named = QDir::toNativeSeparators(labels.path);
  const Expected<QByteArray> loaded = read_regular_file(labels.path);
  if (!loaded) return failure(QStringLiteral("%1: %2").arg(named, loaded.error()));
  // The rows the engine reads (no class names are needed: every id is carried as it is). A file it
  // rejects is carried as nothing, and said: the engine would drop its picture too.
  const PictureVerdict verdict = verdict_of_label_bytes(*loaded, 0);
  if (verdict.outcome == PictureVerdict::Outcome::Rejected)
    return failure(QStringLiteral("%1: the engine rejects this file (%2); its labels were not carried")
                       .arg(named, verdict.reason));
  const double w = size.width(), h = size.height();
  for (const LabelRow& row : verdict.rows) {
    LabelShape shape;
    shape.class_id = row.class_id;
    shape.raw = row.raw;
    if (row.segment) {
      for (qsizetype i = 0; i + 1 < row.points.size(); i += 2)
        shape.points << QPointF(row.points[i] * w, row.points[i + 1] * h);
    } else {
      shape.box = true;
      shape.points = box_corners(QRectF(QPointF((row.x - row.w / 2.0) * w, (row.y - row.h / 2.0) * h),
                                        QPointF((row.x + row.w / 2.0) * w, (row.y + row.h / 2.0) * h)));
    }
    labels.shapes << shape;
  }
  return labels;
}

bool any_label_file(const QStringList& image_paths) {
  for (const QString& path : image_paths)
    if (QFileInfo::exists(picture_at(path).label_in_use())) return true;
  return false;
}

QPolygonF clip_polygon(const QPolygonF& polygon, const QRectF& r) {
  QPolygonF p = polygon;
  if (p.size() > 1 && p.first() == p.last()) p.removeLast();
  const double left = r.left(), right = r.right(), top = r.top(), bottom = r.bottom();
  p = clip_edge(
      p, [&](QPointF q) { return q.x() >= left; }, [&](QPointF a, QPointF b) { return at_x(a, b, left); });
  p = clip_edge(
      p, [&](QPointF q) { return q.x() <= right; }, [&](QPointF a, QPointF b) { return at_x(a, b, right); });
  p = clip_edge(
      p, [&](QPointF q) { return q.y() >= top; }, [&](QPointF a, QPointF b) { return at_y(a, b, top); });
  p = clip_edge(
      p, [&](QPointF q) { return q.y() <= bottom; }, [&](QPointF a, QPointF b) { return at_y(a, b, bottom); });
  // Repeated points add nothing to a label line.
  QPolygonF out;
  for (const QPointF& q : p)
    if (out.isEmpty() || out.last() != q) out << q;
  if (out.size() > 1 && out.first() == out.last()) out.removeLast();
  return out;
}

double polygon_area(const QPolygonF& polygon) {
  double twice = 0;
  for (int i = 0; i < polygon.size(); ++i) {
    const QPointF& a = polygon[i];
    const QPointF& b = polygon[(i + 1) % polygon.size()];
    twice += a.x() * b.y() - b.x() * a.y();
  }
  return std::abs(twice) / 2.0;
}

CarriedShapes carry_shapes(const QVector<LabelShape>& shapes, const QTransform& geometry, QSize size,
                           double min_visible) {
  CarriedShapes out;
  const QRectF picture(0, 0, size.width(), size.height());
  for (const LabelShape& shape : shapes) {
    QPolygonF mapped = geometry.map(shape.points);
    if (shape.box) {
      const QRectF around = mapped.boundingRect();
      mapped = {around.topLeft(), around.topRight(), around.bottomRight(), around.bottomLeft()};
    }
    const QPolygonF visible = clip_polygon(mapped, picture);
    const double whole = polygon_area(mapped);
    const double part = visible.size() >= 3 ? polygon_area(visible) : 0.0;
    if (part <= 0 || whole <= 0) {
      ++out.outside;
      continue;
    }
    if (part < min_visible * whole) {
      ++out.cut;
      continue;
    }
    LabelShape carried;
    carried.class_id = shape.class_id;
    carried.box = shape.box;
    carried.points = visible;
    out.shapes.append(carried);
  }
  return out;
}

CarriedLabels carry_labels(const QVector<LabelShape>& shapes, const QTransform& geometry, QSize size,
                           double min_visible) {
  const CarriedShapes carried = carry_shapes(shapes, geometry, size, min_visible);
  CarriedLabels out;
  out.cut = carried.cut;
  out.outside = carried.outside;
  out.kept = static_cast<int>(carried.shapes.size());
  for (const LabelShape& shape : carried.shapes) {
    const QString line = shape.box ? format_box_line(shape.class_id, shape.points, size.width(), size.height())
                                   : format_label_line(shape.class_id, shape.points, size.width(), size.height());
    out.bytes += line.toLatin1() + '\n';
  }
  return out;
}

Expected<TurnedLabels> turned_labels(const QString& image_path, int rotation) {
  TurnedLabels out;
  const QString path = label_path_for(image_path);
  if (!file_stamp(path).exists) return out;
  out.found = true;
  const Expected<QByteArray> loaded = read_regular_file(path);
  if (!loaded) return failure(loaded.error());
  const QByteArray& bytes = *loaded;
  if (rotation % 360 == 0) {
    out.bytes = bytes;
    return out;
  }
  // In normalised units the picture is the unit square, whatever its size.
  const LabelReadResult read = parse_label_bytes(bytes, -1, 1, 1);
  out.unreadable = unreadable_lines(read);
  QTransform turn;
  if (rotation == 90)
    turn = QTransform(0, 1, -1, 0, 1, 0);  // (x, y) -> (1 - y, x)
  else if (rotation == 180)
    turn = QTransform(-1, 0, 0, -1, 1, 1);  // (x, y) -> (1 - x, 1 - y)
  else if (rotation == 270)
    turn = QTransform(0, -1, 1, 0, 0, 1);  // (x, y) -> (y, 1 - x)
  out.bytes = carry_labels(read.shapes, turn, QSize(1, 1)).bytes;
  return out;
}

}  // namespace quorlan

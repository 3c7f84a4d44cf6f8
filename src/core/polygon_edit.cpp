#include "core/polygon_edit.h"

#include <QLineF>
#include <algorithm>
#include <cmath>

namespace quorlan {
namespace {

QPointF clamp_into(QPointF p, const QRectF& bounds) {
  if (bounds.isEmpty()) return p;
  return {std::clamp(p.x(), bounds.left(), bounds.right()), std::clamp(p.y(), bounds.top(), bounds.bottom())};
}

double distance(QPointF a, QPointF b) { return std::hypot(a.x() - b.x(), a.y() - b.y()); }

// The point of segment a-b nearest to p.
QPointF foot_on_segment(QPointF p, QPointF a, QPointF b) {
  const QPointF d = b - a;
  const double length2 = QPointF::dotProduct(d, d);
  if (length2 <= 0) return a;
  const double t = std::clamp(QPointF::dotProduct(p - a, d) / length2, 0.0, 1.0);
  return a + t * d;
}

}  // namespace

bool is_axis_aligned_rectangle(const QPolygonF& points) {
  if (points.size() != 4) return false;
  for (int i = 0; i < 4; ++i) {
    const QPointF a = points[i], b = points[(i + 1) % 4];
    const bool vertical = a.x() == b.x(), horizontal = a.y() == b.y();
    if (vertical == horizontal) return false;  // a diagonal edge, or two equal corners
    const QPointF c = points[(i + 2) % 4];
    // Edges alternate: after a vertical edge comes a horizontal one.
    if (vertical == (b.x() == c.x())) return false;
  }
  return true;
}

int nearest_vertex(const QPolygonF& points, QPointF at, double radius) {
  int best = -1;
  double best_distance = radius;
  for (int i = 0; i < points.size(); ++i) {
    const double d = distance(points[i], at);
    if (d <= best_distance) {
      best = i;
      best_distance = d;
    }
  }
  return best;
}

QPolygonF move_vertex(const QPolygonF& points, int index, QPointF to, bool rectangle, const QRectF& bounds) {
  if (index < 0 || index >= points.size()) return points;
  QPolygonF moved = points;
  const QPointF target = clamp_into(to, bounds);
  const QPointF old = points[index];
  moved[index] = target;
  if (rectangle && points.size() == 4) {
    for (int neighbour : {(index + 3) % 4, (index + 1) % 4}) {
      if (points[neighbour].x() == old.x())
        moved[neighbour].setX(target.x());
      else if (points[neighbour].y() == old.y())
        moved[neighbour].setY(target.y());
    }
  }
  return moved;
}

std::optional<QPolygonF> insert_vertex(const QPolygonF& points, QPointF at, double radius) {
  if (points.size() < 2) return std::nullopt;
  int best_edge = -1;
  double best_distance = radius;
  QPointF best_foot;
  for (int i = 0; i < points.size(); ++i) {
    const QPointF foot = foot_on_segment(at, points[i], points[(i + 1) % points.size()]);
    const double d = distance(foot, at);
    if (d <= best_distance) {
      best_edge = i;
      best_distance = d;
      best_foot = foot;
    }
  }
  if (best_edge < 0) return std::nullopt;
  QPolygonF grown = points;
  grown.insert(best_edge + 1, best_foot);
  return grown;
}

std::optional<QPolygonF> remove_vertex(const QPolygonF& points, int index) {
  if (points.size() <= 3 || index < 0 || index >= points.size()) return std::nullopt;
  QPolygonF shrunk = points;
  shrunk.remove(index);
  return shrunk;
}

}  // namespace quorlan

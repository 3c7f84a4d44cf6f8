#pragma once
// Editing one shape's vertices: dragging one (a rectangle stays a rectangle), inserting one on
// an edge, removing one. Points are in image pixels; results stay inside `bounds`.
#include <QPolygonF>
#include <QRectF>
#include <optional>

namespace quorlan {

// Four vertices whose neighbours share an x or a y in turn: a rectangle with axis-aligned edges.
bool is_axis_aligned_rectangle(const QPolygonF& points);

// The vertex nearest to `at` within `radius`; -1 when none is.
int nearest_vertex(const QPolygonF& points, QPointF at, double radius);

// `points` with vertex `index` at `to`, clamped into `bounds`. With `rectangle` the two
// neighbours follow (one keeps the dragged vertex's x, the other its y), so the edges stay
// axis-aligned.
QPolygonF move_vertex(const QPolygonF& points, int index, QPointF to, bool rectangle, const QRectF& bounds);

// `points` with a vertex inserted where `at` lies on an edge (its foot on the nearest edge,
// within `radius`); nullopt when no edge is that near.
std::optional<QPolygonF> insert_vertex(const QPolygonF& points, QPointF at, double radius);

// `points` without vertex `index`; nullopt when that would leave fewer than three.
std::optional<QPolygonF> remove_vertex(const QPolygonF& points, int index);

}  // namespace quorlan

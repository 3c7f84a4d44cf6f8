#include "widgets/shape_item.h"

#include <QBrush>
#include <QPen>

namespace quorlan {
namespace {
constexpr double kHandleHalf = 4.0;  // screen pixels
}

ShapeItem::ShapeItem(const QPolygonF& scene_points, bool rectangle)
    : QGraphicsPolygonItem(scene_points), rectangle_(rectangle) {
  setFlag(ItemIsMovable);
  setFlag(ItemIsSelectable);
}

void ShapeItem::set_scene_points(const QPolygonF& scene_points) {
  setPos(0, 0);
  setPolygon(scene_points);
  sync_handles();
}

QVariant ShapeItem::itemChange(GraphicsItemChange change, const QVariant& value) {
  if (change == ItemSelectedHasChanged) sync_handles();
  return QGraphicsPolygonItem::itemChange(change, value);
}

void ShapeItem::sync_handles() {
  const QPolygonF points = polygon();
  const int wanted = isSelected() ? static_cast<int>(points.size()) : 0;
  while (handles_.size() > wanted) delete handles_.takeLast();
  while (handles_.size() < wanted) {
    auto* handle = new QGraphicsRectItem(-kHandleHalf, -kHandleHalf, 2 * kHandleHalf, 2 * kHandleHalf, this);
    handle->setFlag(ItemIgnoresTransformations);
    handle->setAcceptedMouseButtons(Qt::NoButton);
    handle->setPen(QPen(QColor("#111827"), 1));
    handle->setBrush(QColor("#FFFFFF"));
    handles_.append(handle);
  }
  for (int i = 0; i < handles_.size(); ++i) handles_[i]->setPos(points[i]);
}

}  // namespace quorlan

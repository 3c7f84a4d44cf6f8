#pragma once
#include <QGraphicsPolygonItem>
#include <QVector>

class QGraphicsRectItem;

namespace quorlan {

// A shape on the annotation canvas. While selected it shows its vertices as handles (a fixed
// size on screen at any zoom); the canvas drags, inserts and removes them.
class ShapeItem : public QGraphicsPolygonItem {
 public:
  ShapeItem(const QPolygonF& scene_points, bool rectangle);

  // A rectangle keeps its edges axis-aligned when a corner is dragged, and keeps four corners.
  bool is_rectangle() const { return rectangle_; }
  void set_rectangle(bool rectangle) { rectangle_ = rectangle; }
  QPolygonF scene_points() const { return mapToScene(polygon()); }
  // Puts the shape at `scene_points` (the item itself back at the origin).
  void set_scene_points(const QPolygonF& scene_points);

 protected:
  QVariant itemChange(GraphicsItemChange change, const QVariant& value) override;

 private:
  void sync_handles();

  bool rectangle_ = false;
  QVector<QGraphicsRectItem*> handles_;
};

}  // namespace quorlan

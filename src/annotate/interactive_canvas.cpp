#include "annotate/interactive_canvas.h"

#include <QGraphicsPolygonItem>
#include <QGraphicsSceneMouseEvent>
#include <QPen>
#include <cmath>

namespace quorlan {

InteractiveCanvas::InteractiveCanvas(QObject* parent) : QGraphicsScene(parent) {}

void InteractiveCanvas::set_draw_mode(const QString& mode) {
  draw_mode = mode;
  reset_drawing();
}

bool InteractiveCanvas::is_pick_or_select_mode() const {
  return draw_mode == QLatin1String("Select/Move") || draw_mode == QLatin1String("Crop") ||
         draw_mode == QLatin1String("Warp");
}

QVector<QPointF> InteractiveCanvas::calculate_shape(const QPointF& start, const QPointF& end) const {
  if (draw_mode == QLatin1String("Rectangle"))
    return {start, QPointF(end.x(), start.y()), end, QPointF(start.x(), end.y())};
  if (draw_mode != QLatin1String("Circle") && draw_mode != QLatin1String("Pentagon")) return {};
  const double dx = end.x() - start.x();
  const double dy = end.y() - start.y();
  const double r = std::sqrt(dx * dx + dy * dy);
  if (r <= 1.0) return {};
  const int n = draw_mode == QLatin1String("Circle") ? 32 : 5;
  QVector<QPointF> points;
  points.reserve(n);
  for (int i = 0; i < n; ++i) {
    const double a = -M_PI / 2 + (2 * M_PI * i) / n;
    points.append(QPointF(start.x() + r * std::cos(a), start.y() + r * std::sin(a)));
  }
  return points;
}

void InteractiveCanvas::update_preview() {
  if (temp_poly_item) {
    removeItem(temp_poly_item);
    delete temp_poly_item;
    temp_poly_item = nullptr;
  }
  if (current_polygon.isEmpty()) return;
  temp_poly_item = new QGraphicsPolygonItem(QPolygonF(current_polygon));
  QPen pen(QColor("#6366F1"), 2);
  pen.setStyle(Qt::DashLine);
  temp_poly_item->setPen(pen);
  addItem(temp_poly_item);
}

void InteractiveCanvas::reset_drawing() {
  if (temp_poly_item) {
    removeItem(temp_poly_item);
    delete temp_poly_item;
    temp_poly_item = nullptr;
  }
  current_polygon.clear();
  drawing = false;
  start_pos.reset();
}

void InteractiveCanvas::mousePressEvent(QGraphicsSceneMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    event->ignore();
    return;
  }
  if (draw_mode == QLatin1String("Select/Move")) {
    positions_at_press_.clear();
    QGraphicsScene::mousePressEvent(event);
    for (QGraphicsItem* item : selectedItems()) positions_at_press_.insert(item, item->pos());
    return;
  }
  if (draw_mode == QLatin1String("Crop") || draw_mode == QLatin1String("Warp")) {
    if (event->button() == Qt::LeftButton) emit point_clicked(event->scenePos());
    QGraphicsScene::mousePressEvent(event);
    return;
  }
  if (event->button() == Qt::LeftButton) {
    for (QGraphicsItem* item : items(event->scenePos())) {
      if (item->type() == QGraphicsPolygonItem::Type && item != temp_poly_item) {
        QGraphicsScene::mousePressEvent(event);
        return;
      }
    }
    drawing = true;
    if (draw_mode == QLatin1String("Polygon")) {
      current_polygon.append(event->scenePos());
      update_preview();
    } else {
      start_pos = event->scenePos();
    }
    event->accept();
    return;
  }
  if (event->button() == Qt::RightButton && drawing && draw_mode == QLatin1String("Polygon")) {
    if (current_polygon.size() > 2) emit polygon_completed(QPolygonF(current_polygon));
    reset_drawing();
    event->accept();
    return;
  }
  QGraphicsScene::mousePressEvent(event);
}

void InteractiveCanvas::mouseMoveEvent(QGraphicsSceneMouseEvent* event) {
  if (!is_pick_or_select_mode() && drawing && draw_mode != QLatin1String("Polygon") && start_pos) {
    current_polygon = calculate_shape(*start_pos, event->scenePos());
    update_preview();
    event->accept();
    return;
  }
  QGraphicsScene::mouseMoveEvent(event);
}

void InteractiveCanvas::mouseReleaseEvent(QGraphicsSceneMouseEvent* event) {
  if (is_pick_or_select_mode()) {
    QGraphicsScene::mouseReleaseEvent(event);
    if (draw_mode == QLatin1String("Select/Move") && !positions_at_press_.isEmpty()) {
      bool moved = false;
      for (auto it = positions_at_press_.cbegin(); it != positions_at_press_.cend(); ++it)
        if (items().contains(it.key()) && it.key()->pos() != it.value()) moved = true;
      positions_at_press_.clear();
      if (moved) emit items_moved_signal();
    }
    return;
  }
  if (event->button() == Qt::LeftButton && draw_mode != QLatin1String("Polygon")) {
    if (drawing && start_pos) {
      const QVector<QPointF> shape = calculate_shape(*start_pos, event->scenePos());
      if (shape.size() > 2) emit polygon_completed(QPolygonF(shape));
      reset_drawing();
      event->accept();
    }
    return;
  }
  QGraphicsScene::mouseReleaseEvent(event);
}

}  // namespace quorlan

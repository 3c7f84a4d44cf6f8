#include "widgets/interactive_canvas.h"

#include <QApplication>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsRectItem>
#include <QGraphicsSceneMouseEvent>
#include <QGraphicsView>
#include <QPen>
#include <QSet>
#include <cmath>

#include "core/polygon_edit.h"
#include "widgets/shape_item.h"

namespace quorlan {
namespace {
constexpr double kGrabPixels = 7.0;      // how near on screen a click must be to a vertex or an edge
constexpr double kMinShapePixels = 2.0;  // a shape narrower or lower than this in the image is none
}  // namespace

void InteractiveCanvas::emit_if_big_enough(const QPolygonF& polygon) {
  const QRectF r = polygon.boundingRect();
  if (r.width() < kMinShapePixels || r.height() < kMinShapePixels) return;
  emit polygon_completed(polygon);
}

InteractiveCanvas::InteractiveCanvas(QObject* parent) : QGraphicsScene(parent) {}

void InteractiveCanvas::set_draw_mode(const QString& mode) {
  draw_mode = mode;
  reset_drawing();
}

bool InteractiveCanvas::is_prompt_mode() const {
  return draw_mode == QLatin1String("AI Polygon") || draw_mode == QLatin1String("AI Box") ||
         draw_mode == QLatin1String("Refine Box");
}

void InteractiveCanvas::show_prompt(const QVector<QPointF>& positive, const QVector<QPointF>& negative,
                                    const std::optional<QRectF>& box, const QPolygonF& proposal) {
  delete prompt_overlay_;  // its children go with it
  prompt_overlay_ = nullptr;
  if (positive.isEmpty() && negative.isEmpty() && !box && proposal.isEmpty()) return;
  auto* outline = new QGraphicsPolygonItem(proposal);
  QPen pen(QColor("#22D3EE"), 2);
  pen.setCosmetic(true);
  outline->setPen(pen);
  outline->setBrush(QColor(34, 211, 238, 70));
  outline->setZValue(1000);
  if (box) {
    auto* rough = new QGraphicsRectItem(*box, outline);
    QPen dashed(QColor("#F59E0B"), 2);
    dashed.setCosmetic(true);
    dashed.setStyle(Qt::DashLine);
    rough->setPen(dashed);
  }
  auto mark = [outline](const QPointF& at, const QColor& colour) {
    auto* dot = new QGraphicsEllipseItem(-5, -5, 10, 10, outline);
    dot->setFlag(QGraphicsItem::ItemIgnoresTransformations);
    dot->setPos(at);
    dot->setBrush(colour);
    QPen ring(Qt::white, 1.5);
    ring.setCosmetic(true);
    dot->setPen(ring);
  };
  for (const QPointF& p : positive) mark(p, QColor("#22C55E"));
  for (const QPointF& p : negative) mark(p, QColor("#EF4444"));
  addItem(outline);
  prompt_overlay_ = outline;
}

bool InteractiveCanvas::prompt_press(QGraphicsSceneMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    if (draw_mode != QLatin1String("Refine Box")) emit prompt_point(event->scenePos(), false);
    event->accept();
    return true;
  }
  if (event->button() != Qt::LeftButton) return false;
  drawing = true;
  start_pos = event->scenePos();
  event->accept();
  return true;
}

bool InteractiveCanvas::prompt_release(QGraphicsSceneMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !drawing || !start_pos) return false;
  const QPoint travel = event->screenPos() - event->buttonDownScreenPos(Qt::LeftButton);
  const QPointF start = *start_pos;
  // The drag's box goes; the prompt's overlay stays until the proposal that follows replaces it.
  current_polygon.clear();
  update_preview();
  drawing = false;
  start_pos.reset();
  if (travel.manhattanLength() >= QApplication::startDragDistance()) {
    const QRectF box = QRectF(start, event->scenePos()).normalized() & sceneRect();
    if (box.width() >= kMinShapePixels && box.height() >= kMinShapePixels) emit prompt_box(box);
  } else if (draw_mode != QLatin1String("Refine Box")) {
    emit prompt_point(start, !(event->modifiers() & Qt::ShiftModifier));
  }
  event->accept();
  return true;
}

bool InteractiveCanvas::is_pick_or_select_mode() const {
  return draw_mode == QLatin1String("Select/Move") || draw_mode == QLatin1String("Crop") ||
         draw_mode == QLatin1String("Warp");
}

QVector<QPointF> InteractiveCanvas::calculate_shape(const QPointF& start, const QPointF& end) const {
  if (draw_mode == QLatin1String("Rectangle")) {
    // A click without a drag is no rectangle.
    if (std::abs(end.x() - start.x()) < 1.0 || std::abs(end.y() - start.y()) < 1.0) return {};
    return {start, QPointF(end.x(), start.y()), end, QPointF(start.x(), end.y())};
  }
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
  // Two screen pixels at any zoom, and a square on every point placed (the first one larger: a
  // click there closes the polygon).
  QPen pen(QColor("#6366F1"), 2);
  pen.setCosmetic(true);
  pen.setStyle(Qt::DashLine);
  temp_poly_item->setPen(pen);
  for (qsizetype i = 0; i < current_polygon.size(); ++i) {
    const double half = i == 0 ? 5.0 : 3.5;
    auto* marker = new QGraphicsRectItem(-half, -half, 2 * half, 2 * half, temp_poly_item);
    marker->setFlag(QGraphicsItem::ItemIgnoresTransformations);
    marker->setPos(current_polygon[i]);
    marker->setBrush(QColor(i == 0 ? "#FFFFFF" : "#6366F1"));
    QPen outline(QColor(i == 0 ? "#6366F1" : "#FFFFFF"), 1);
    outline.setCosmetic(true);
    marker->setPen(outline);
  }
  addItem(temp_poly_item);
}

void InteractiveCanvas::reset_drawing() {
  if (temp_poly_item) {
    removeItem(temp_poly_item);
    delete temp_poly_item;
    temp_poly_item = nullptr;
  }
  if (rubber_band_) {
    removeItem(rubber_band_);
    delete rubber_band_;
    rubber_band_ = nullptr;
  }
  delete prompt_overlay_;
  prompt_overlay_ = nullptr;
  current_polygon.clear();
  drawing = false;
  start_pos.reset();
  dragged_ = nullptr;
}

bool InteractiveCanvas::remove_last_point() {
  if (current_polygon.isEmpty()) return false;
  current_polygon.removeLast();
  if (current_polygon.isEmpty()) {
    reset_drawing();
  } else {
    update_preview();
    if (rubber_band_) update_rubber_band(rubber_band_->line().p2());
  }
  return true;
}

double InteractiveCanvas::screen_distance(double pixels) const {
  const QList<QGraphicsView*> shown = views();
  const double scale = shown.isEmpty() ? 1.0 : shown.first()->transform().m11();
  return scale > 0 ? pixels / scale : pixels;
}

// The polygon being drawn follows the cursor with a line from its last point.
void InteractiveCanvas::update_rubber_band(QPointF cursor) {
  if (current_polygon.isEmpty()) return;
  if (!rubber_band_) {
    rubber_band_ = new QGraphicsLineItem;
    QPen pen(QColor("#6366F1"), 2);
    pen.setCosmetic(true);
    pen.setStyle(Qt::DashLine);
    rubber_band_->setPen(pen);
    addItem(rubber_band_);
  }
  rubber_band_->setLine(QLineF(current_polygon.last(), cursor));
}

bool InteractiveCanvas::press_on_handle(QPointF pos, bool shift) {
  const double radius = screen_distance(kGrabPixels);
  for (QGraphicsItem* selected : selectedItems()) {
    auto* shape = dynamic_cast<ShapeItem*>(selected);
    if (!shape || !shape->isVisible()) continue;
    const QPolygonF points = shape->scene_points();
    const int vertex = nearest_vertex(points, pos, radius);
    if (vertex < 0) continue;
    if (shift) {
      // A rectangle keeps its four corners; every shape keeps three vertices.
      if (shape->is_rectangle()) return true;
      if (const auto fewer = remove_vertex(points, vertex)) {
        shape->set_scene_points(*fewer);
        emit shape_edited(shape, *fewer);
      }
      return true;
    }
    dragged_ = shape;
    dragged_vertex_ = vertex;
    dragged_from_ = points;
    return true;
  }
  return false;
}

void InteractiveCanvas::mousePressEvent(QGraphicsSceneMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    event->ignore();
    return;
  }
  if (draw_mode == QLatin1String("Select/Move")) {
    positions_at_press_.clear();
    dragged_ = nullptr;
    if (event->button() == Qt::LeftButton &&
        press_on_handle(event->scenePos(), event->modifiers() & Qt::ShiftModifier)) {
      event->accept();
      return;
    }
    QGraphicsScene::mousePressEvent(event);
    for (QGraphicsItem* item : selectedItems()) positions_at_press_.insert(item, item->pos());
    return;
  }
  if (is_prompt_mode() && prompt_press(event)) return;
  if (draw_mode == QLatin1String("Crop") || draw_mode == QLatin1String("Warp")) {
    if (event->button() == Qt::LeftButton) emit point_clicked(event->scenePos());
    QGraphicsScene::mousePressEvent(event);
    return;
  }
  if (event->button() == Qt::LeftButton) {
    // A click on the first point closes the polygon, as the right button does.
    if (draw_mode == QLatin1String("Polygon") && current_polygon.size() > 2 &&
        QLineF(current_polygon.first(), event->scenePos()).length() <= screen_distance(kGrabPixels)) {
      emit_if_big_enough(QPolygonF(current_polygon));
      reset_drawing();
      event->accept();
      return;
    }
    // A press in a drawing mode always draws, also inside or on the edge of another shape: moving
    // and vertex editing belong to "Select/Move".
    drawing = true;
    if (draw_mode == QLatin1String("Polygon")) {
      current_polygon.append(event->scenePos());
      update_preview();
      update_rubber_band(event->scenePos());
    } else {
      start_pos = event->scenePos();
    }
    event->accept();
    return;
  }
  if (event->button() == Qt::RightButton && drawing && draw_mode == QLatin1String("Polygon")) {
    if (current_polygon.size() > 2) emit_if_big_enough(QPolygonF(current_polygon));
    reset_drawing();
    event->accept();
    return;
  }
  QGraphicsScene::mousePressEvent(event);
}

void InteractiveCanvas::mouseMoveEvent(QGraphicsSceneMouseEvent* event) {
  if (dragged_) {
    dragged_->set_scene_points(
        move_vertex(dragged_from_, dragged_vertex_, event->scenePos(), dragged_->is_rectangle(), sceneRect()));
    event->accept();
    return;
  }
  if (is_prompt_mode()) {
    if (drawing && start_pos) {  // the rough box follows the drag
      const QRectF r = QRectF(*start_pos, event->scenePos()).normalized();
      current_polygon = {r.topLeft(), r.topRight(), r.bottomRight(), r.bottomLeft()};
      update_preview();
    } else if (event->buttons() == Qt::NoButton) {
      emit prompt_hover(event->scenePos());
    }
    event->accept();
    return;
  }
  if (draw_mode == QLatin1String("Polygon") && !current_polygon.isEmpty()) {
    update_rubber_band(event->scenePos());
    event->accept();
    return;
  }
  if (!is_pick_or_select_mode() && drawing && draw_mode != QLatin1String("Polygon") && start_pos) {
    current_polygon = calculate_shape(*start_pos, event->scenePos());
    update_preview();
    event->accept();
    return;
  }
  QGraphicsScene::mouseMoveEvent(event);
}

void InteractiveCanvas::mouseReleaseEvent(QGraphicsSceneMouseEvent* event) {
  if (dragged_) {
    ShapeItem* shape = dragged_;
    dragged_ = nullptr;
    if (items().contains(shape) && shape->scene_points() != dragged_from_)
      emit shape_edited(shape, shape->scene_points());
    event->accept();
    return;
  }
  if (is_prompt_mode() && prompt_release(event)) return;
  if (is_pick_or_select_mode()) {
    QGraphicsScene::mouseReleaseEvent(event);
    if (draw_mode == QLatin1String("Select/Move") && !positions_at_press_.isEmpty()) {
      // Only items still in the scene are looked at (one may have gone meanwhile); the scene's item
      // list is built once, not once per selected shape.
      const QList<QGraphicsItem*> listed = items();
      const QSet<QGraphicsItem*> present(listed.cbegin(), listed.cend());
      bool moved = false;
      for (auto it = positions_at_press_.cbegin(); it != positions_at_press_.cend(); ++it)
        if (present.contains(it.key()) && it.key()->pos() != it.value()) moved = true;
      positions_at_press_.clear();
      if (moved) emit items_moved_signal();
    }
    return;
  }
  if (event->button() == Qt::LeftButton && draw_mode != QLatin1String("Polygon")) {
    if (drawing && start_pos) {
      // A shaky click is no shape: the pointer must have travelled the platform's drag distance.
      const QPoint travel = event->screenPos() - event->buttonDownScreenPos(Qt::LeftButton);
      const bool dragged = travel.manhattanLength() >= QApplication::startDragDistance();
      const QVector<QPointF> shape = calculate_shape(*start_pos, event->scenePos());
      if (dragged && shape.size() > 2) emit_if_big_enough(QPolygonF(shape));
      reset_drawing();
      event->accept();
    }
    return;
  }
  QGraphicsScene::mouseReleaseEvent(event);
}

void InteractiveCanvas::mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) {
  if (is_prompt_mode() && event->button() == Qt::LeftButton) {
    emit prompt_accept();
    event->accept();
    return;
  }
  if (draw_mode == QLatin1String("Select/Move") && event->button() == Qt::LeftButton) {
    // A double-click on an edge of a highlighted shape puts a vertex there.
    for (QGraphicsItem* selected : selectedItems()) {
      auto* shape = dynamic_cast<ShapeItem*>(selected);
      if (!shape || !shape->isVisible() || shape->is_rectangle()) continue;
      if (const auto grown = insert_vertex(shape->scene_points(), event->scenePos(), screen_distance(kGrabPixels))) {
        shape->set_scene_points(*grown);
        emit shape_edited(shape, *grown);
        event->accept();
        return;
      }
    }
  }
  QGraphicsScene::mouseDoubleClickEvent(event);
}

}  // namespace quorlan

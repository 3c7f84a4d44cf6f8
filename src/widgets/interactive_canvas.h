#pragma once
#include <QGraphicsScene>
#include <QHash>
#include <QPolygonF>
#include <QVector>
#include <optional>

class QGraphicsLineItem;
class QGraphicsPolygonItem;

namespace quorlan {

class ShapeItem;

// The drawing scene: free polygons by clicks, rectangles, circles and pentagons by drags,
// and point picking for the enricher's crop and warp. Finished shapes leave through
// polygon_completed; the scene never keeps them itself. In "Select/Move" the vertices of a
// highlighted shape are dragged, inserted (double-click on an edge) and removed (Shift+click).
class InteractiveCanvas : public QGraphicsScene {
  Q_OBJECT
 public:
  explicit InteractiveCanvas(QObject* parent = nullptr);

  void set_draw_mode(const QString& mode);
  QVector<QPointF> calculate_shape(const QPointF& start, const QPointF& end) const;
  void update_preview();
  // Ends any drawing and removes the prompt's overlay (before the scene is cleared).
  void reset_drawing();
  // Takes back the last point of the polygon being drawn; false when none is being drawn.
  bool remove_last_point();

  // The prompt modes ("AI Polygon", "AI Box", "Refine Box"): clicks and a drag are prompts for a
  // model (or GrabCut) that proposes the outline; nothing is drawn by hand.
  bool is_prompt_mode() const;
  // What the prompt looks like on the picture: positive clicks green, negative red, the rough box
  // dashed, and the proposed outline filled; an empty overlay removes it.
  void show_prompt(const QVector<QPointF>& positive, const QVector<QPointF>& negative, const std::optional<QRectF>& box,
                   const QPolygonF& proposal);

  QString draw_mode = QStringLiteral("Select/Move");
  QVector<QPointF> current_polygon;
  bool drawing = false;
  QGraphicsPolygonItem* temp_poly_item = nullptr;
  std::optional<QPointF> start_pos;

 signals:
  void polygon_completed(const QPolygonF& polygon);
  void point_clicked(const QPointF& point);
  // Shapes were dragged to a new place in "Select/Move".
  void items_moved_signal();
  // A vertex of `item` was dragged, inserted or removed: its vertices are now `points`.
  void shape_edited(QGraphicsItem* item, const QPolygonF& points);
  // In a prompt mode: a click (`positive` unless Shift or the right button), a dragged box, the
  // cursor moving with no button pressed, and a double click (accept the proposal).
  void prompt_point(const QPointF& at, bool positive);
  void prompt_box(const QRectF& box);
  void prompt_hover(const QPointF& at);
  void prompt_accept();

 protected:
  void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) override;

 private:
  bool is_pick_or_select_mode() const;
  // Emits polygon_completed unless the shape is under 2 image pixels wide or high.
  void emit_if_big_enough(const QPolygonF& polygon);
  // A scene distance of `pixels` on screen at the view's zoom.
  double screen_distance(double pixels) const;
  // Starts a vertex drag, or removes a vertex with Shift; false when no handle is at `pos`.
  bool press_on_handle(QPointF pos, bool shift);
  void update_rubber_band(QPointF cursor);
  bool prompt_press(QGraphicsSceneMouseEvent* event);
  bool prompt_release(QGraphicsSceneMouseEvent* event);
  QGraphicsItem* prompt_overlay_ = nullptr;
  QHash<QGraphicsItem*, QPointF> positions_at_press_;
  QGraphicsLineItem* rubber_band_ = nullptr;
  ShapeItem* dragged_ = nullptr;  // the shape whose vertex is being dragged
  int dragged_vertex_ = -1;
  QPolygonF dragged_from_;
};

}  // namespace quorlan

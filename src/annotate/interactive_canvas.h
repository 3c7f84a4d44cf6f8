#pragma once
#include <QGraphicsScene>
#include <QHash>
#include <QPolygonF>
#include <QVector>
#include <optional>

class QGraphicsPolygonItem;

namespace quorlan {

// The drawing scene: free polygons by clicks, rectangles, circles and pentagons by drags,
// and point picking for the enricher's crop and warp. Finished shapes leave through
// polygon_completed; the scene never keeps them itself.
class InteractiveCanvas : public QGraphicsScene {
  Q_OBJECT
 public:
  explicit InteractiveCanvas(QObject* parent = nullptr);

  void set_draw_mode(const QString& mode);
  QVector<QPointF> calculate_shape(const QPointF& start, const QPointF& end) const;
  void update_preview();
  void reset_drawing();

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

 protected:
  void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
  void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;

 private:
  bool is_pick_or_select_mode() const;
  QHash<QGraphicsItem*, QPointF> positions_at_press_;
};

}  // namespace quorlan

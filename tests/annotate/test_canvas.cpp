#include <QGraphicsLineItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsSceneMouseEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>
#include <cmath>

#include "core/polygon_edit.h"
#include "widgets/interactive_canvas.h"
#include "widgets/shape_item.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

void send(QGraphicsScene& scene, QEvent::Type type, Qt::MouseButton button, QPointF pos,
          Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  // Without a view the screen is the scene at scale 1; a release knows where its press was.
  static QPointF down;
  if (type == QEvent::GraphicsSceneMousePress) down = pos;
  QGraphicsSceneMouseEvent event(type);
  event.setModifiers(modifiers);
  event.setScenePos(pos);
  event.setScreenPos(pos.toPoint());
  event.setButton(type == QEvent::GraphicsSceneMouseMove ? Qt::NoButton : button);
  event.setButtons(type == QEvent::GraphicsSceneMouseRelease ? Qt::NoButton : Qt::MouseButtons(button));
  event.setButtonDownScenePos(button, down);
  event.setButtonDownScreenPos(button, down.toPoint());
  QCoreApplication::sendEvent(&scene, &event);
}
void press(QGraphicsScene& s, QPointF p, Qt::MouseButton b = Qt::LeftButton) {
  send(s, QEvent::GraphicsSceneMousePress, b, p);
}
void move(QGraphicsScene& s, QPointF p, Qt::MouseButton b = Qt::LeftButton) {
  send(s, QEvent::GraphicsSceneMouseMove, b, p);
}
void release(QGraphicsScene& s, QPointF p, Qt::MouseButton b = Qt::LeftButton) {
  send(s, QEvent::GraphicsSceneMouseRelease, b, p);
}

QPolygonF last_polygon(const QSignalSpy& spy) { return spy.last().at(0).value<QPolygonF>(); }

}  // namespace

class TestCanvas : public QObject {
  Q_OBJECT
 private slots:
  void drag_shape_geometry() {
    InteractiveCanvas canvas;
    canvas.set_draw_mode("Rectangle");
    QCOMPARE(canvas.calculate_shape({10, 20}, {4, 30}), QVector<QPointF>({{10, 20}, {4, 20}, {4, 30}, {10, 30}}));

    canvas.set_draw_mode("Pentagon");
    const auto penta = canvas.calculate_shape({50, 50}, {50, 60});
    QCOMPARE(penta.size(), 5);
    QCOMPARE(penta[0], QPointF(50, 40));
    QVERIFY(penta[1].x() > 50 && penta[1].y() < 50);        // clockwise on screen: next vertex upper right
    QVERIFY(std::abs(penta[2].y() - penta[3].y()) < 1e-9);  // standing on a horizontal base

    canvas.set_draw_mode("Circle");
    QVERIFY(canvas.calculate_shape({0, 0}, {1, 0}).isEmpty());
    QVERIFY(canvas.calculate_shape({0, 0}, {0.6, 0.8}).isEmpty());
    const auto circle = canvas.calculate_shape({0, 0}, {1.5, 0});
    QCOMPARE(circle.size(), 32);
    for (const QPointF& p : circle) QVERIFY(std::abs(std::hypot(p.x(), p.y()) - 1.5) < 1e-9);

    canvas.set_draw_mode("Polygon");
    QVERIFY(canvas.calculate_shape({0, 0}, {10, 10}).isEmpty());
  }

  void drags_emit_shapes() {
    InteractiveCanvas canvas;
    QSignalSpy done(&canvas, &InteractiveCanvas::polygon_completed);
    canvas.set_draw_mode("Rectangle");
    press(canvas, {5, 5});
    release(canvas, {5, 5});  // a stray click makes no zero-size shape
    press(canvas, {5, 5});
    release(canvas, {40, 5.5});  // nor a drag along one line
    QCOMPARE(done.count(), 0);
    press(canvas, {5, 5});
    release(canvas, {7, 8});  // a shaky click: under the drag distance on screen
    press(canvas, {5, 5});
    release(canvas, {40, 6.5});  // a box under 2 px high
    QCOMPARE(done.count(), 0);
    press(canvas, {5, 5});
    release(canvas, {40, 30});
    QCOMPARE(done.count(), 1);
    QCOMPARE(last_polygon(done), QPolygonF({{5, 5}, {40, 5}, {40, 30}, {5, 30}}));
    // A press inside an existing shape, or on its edge, draws a new one there.
    auto* outer = canvas.addPolygon(QPolygonF({{0, 0}, {100, 0}, {100, 100}, {0, 100}}));
    outer->setFlags(QGraphicsItem::ItemIsMovable | QGraphicsItem::ItemIsSelectable);
    for (const QPointF start : {QPointF(20, 20), QPointF(0, 50)}) {
      press(canvas, start);
      move(canvas, start + QPointF(30, 30));
      release(canvas, start + QPointF(30, 30));
      QCOMPARE(last_polygon(done).first(), start);
    }
    QCOMPARE(done.count(), 3);
    QCOMPARE(outer->pos(), QPointF(0, 0));
    QVERIFY(!outer->isSelected());
    canvas.removeItem(outer);
    delete outer;

    for (const char* mode : {"Circle", "Pentagon"}) {
      canvas.set_draw_mode(mode);
      press(canvas, {5, 5});
      release(canvas, {5, 5});
      QCOMPARE(done.count(), 3);
    }

    canvas.set_draw_mode("Circle");
    press(canvas, {50, 50});
    move(canvas, {60, 50});
    QVERIFY(canvas.temp_poly_item);
    QCOMPARE(canvas.temp_poly_item->pen().style(), Qt::DashLine);
    QCOMPARE(canvas.temp_poly_item->pen().color(), QColor("#6366F1"));
    QCOMPARE(canvas.temp_poly_item->polygon().size(), 32);
    canvas.set_draw_mode("Circle");  // a mode change drops the preview at once
    QVERIFY(!canvas.temp_poly_item);
    QCOMPARE(canvas.items().size(), 0);
    release(canvas, {70, 50});
    QCOMPARE(done.count(), 3);
  }

  void polygon_by_clicks() {
    InteractiveCanvas canvas;
    QSignalSpy done(&canvas, &InteractiveCanvas::polygon_completed);
    canvas.set_draw_mode("Polygon");
    press(canvas, {0, 0});
    press(canvas, {10, 0});
    press(canvas, {5, 5}, Qt::RightButton);  // two points: nothing, preview cleared
    QCOMPARE(done.count(), 0);
    QVERIFY(!canvas.temp_poly_item);
    QVERIFY(!canvas.drawing);

    // A press inside an existing shape adds a point: drawing never moves a shape.
    auto* shape = canvas.addPolygon(QPolygonF({{100, 100}, {200, 100}, {200, 200}, {100, 200}}));
    shape->setFlags(QGraphicsItem::ItemIsMovable | QGraphicsItem::ItemIsSelectable);
    press(canvas, {0, 0});
    press(canvas, {10, 0});
    press(canvas, {150, 150});
    QCOMPARE(canvas.current_polygon.size(), 3);
    QVERIFY(canvas.drawing);
    press(canvas, {1, 1}, Qt::RightButton);
    QCOMPARE(done.count(), 1);
    QCOMPARE(last_polygon(done), QPolygonF({{0, 0}, {10, 0}, {150, 150}}));
    // A polygon under 2 px across is none.
    press(canvas, {0, 0});
    press(canvas, {1, 0});
    press(canvas, {1, 1});
    press(canvas, {1, 1}, Qt::RightButton);
    QCOMPARE(done.count(), 1);
    QCOMPARE(canvas.items(), QList<QGraphicsItem*>({shape}));
  }

  void polygon_closes_on_its_first_point_with_a_rubber_band() {
    InteractiveCanvas canvas;
    QSignalSpy done(&canvas, &InteractiveCanvas::polygon_completed);
    canvas.set_draw_mode("Polygon");
    press(canvas, {0, 0});
    press(canvas, {100, 0});
    move(canvas, {80, 60}, Qt::NoButton);
    auto lines = canvas.items();
    const auto band = std::find_if(lines.cbegin(), lines.cend(),
                                   [](QGraphicsItem* i) { return i->type() == QGraphicsLineItem::Type; });
    QVERIFY(band != lines.cend());
    QCOMPARE(static_cast<QGraphicsLineItem*>(*band)->line(), QLineF(QPointF(100, 0), QPointF(80, 60)));
    press(canvas, {3, 2});  // the first point with two others: not closed yet, a third point
    QCOMPARE(done.count(), 0);
    press(canvas, {100, 100});
    press(canvas, {4, -3});  // near the first point: closes, as the right button would
    QCOMPARE(done.count(), 1);
    QCOMPARE(last_polygon(done), QPolygonF({{0, 0}, {100, 0}, {3, 2}, {100, 100}}));
    QVERIFY(!canvas.drawing);
    QCOMPARE(canvas.items().size(), 0);  // preview and rubber band gone

    press(canvas, {0, 0});
    press(canvas, {50, 0});
    QVERIFY(canvas.remove_last_point());
    QCOMPARE(canvas.current_polygon, QVector<QPointF>({{0, 0}}));
  }

  void vertices_are_dragged_inserted_and_removed() {
    InteractiveCanvas canvas;
    canvas.setSceneRect(0, 0, 200, 100);
    QSignalSpy edited(&canvas, &InteractiveCanvas::shape_edited);
    auto* box = new ShapeItem(QPolygonF({{10, 10}, {60, 10}, {60, 50}, {10, 50}}), true);
    auto* poly = new ShapeItem(QPolygonF({{100, 10}, {150, 10}, {150, 60}, {100, 60}}), false);
    canvas.addItem(box);
    canvas.addItem(poly);
    canvas.set_draw_mode("Select/Move");
    box->setSelected(true);
    QCOMPARE(box->childItems().size(), 4);  // a handle per vertex while highlighted
    QVERIFY(poly->childItems().isEmpty());

    // A rectangle's corner drags its two neighbours along; the drag stops at the picture.
    press(canvas, {60, 50});
    move(canvas, {80, 70});
    move(canvas, {260, 120});
    release(canvas, {260, 120});
    QCOMPARE(box->scene_points(), QPolygonF({{10, 10}, {200, 10}, {200, 100}, {10, 100}}));
    QCOMPARE(edited.count(), 1);
    // Rectangles keep four corners: no insert, no removal.
    send(canvas, QEvent::GraphicsSceneMouseDoubleClick, Qt::LeftButton, {100, 10});
    press(canvas, {10, 10}, Qt::LeftButton);
    QCOMPARE(box->scene_points().size(), 4);

    canvas.clearSelection();
    poly->setSelected(true);
    QVERIFY(box->childItems().isEmpty());
    send(canvas, QEvent::GraphicsSceneMouseDoubleClick, Qt::LeftButton, {125, 12});  // near the top edge
    QCOMPARE(poly->scene_points(), QPolygonF({{100, 10}, {125, 10}, {150, 10}, {150, 60}, {100, 60}}));
    QCOMPARE(poly->childItems().size(), 5);
    press(canvas, {125, 10});
    move(canvas, {125, 0});
    release(canvas, {125, 0});  // a free vertex moves alone
    QCOMPARE(poly->scene_points()[1], QPointF(125, 0));
    QCOMPARE(poly->scene_points()[0], QPointF(100, 10));
    for (int i = 0; i < 3; ++i) {
      const QPointF corner = poly->scene_points()[0];
      send(canvas, QEvent::GraphicsSceneMousePress, Qt::LeftButton, corner, Qt::ShiftModifier);
    }
    QCOMPARE(poly->scene_points().size(), 3);  // never below three
    QCOMPARE(edited.count(), 5);               // the drag, the insert, the drag, two removals
    QCOMPARE(poly->scene_points(), QPolygonF({{150, 10}, {150, 60}, {100, 60}}));
  }

  void polygon_edit_geometry() {
    QVERIFY(is_axis_aligned_rectangle(QPolygonF({{0, 0}, {0, 5}, {9, 5}, {9, 0}})));
    QVERIFY(!is_axis_aligned_rectangle(QPolygonF({{0, 0}, {5, 1}, {9, 5}, {4, 4}})));
    QVERIFY(!is_axis_aligned_rectangle(QPolygonF({{0, 0}, {0, 0}, {9, 5}, {9, 0}})));
    // Counter-clockwise rectangle: the neighbours still follow.
    QCOMPARE(move_vertex(QPolygonF({{0, 0}, {0, 5}, {9, 5}, {9, 0}}), 0, {-3, -2}, true, QRectF(-10, -10, 30, 30)),
             QPolygonF({{-3, -2}, {-3, 5}, {9, 5}, {9, -2}}));
    QCOMPARE(insert_vertex(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), {20, 20}, 3), std::nullopt);
    QCOMPARE(remove_vertex(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), 0), std::nullopt);
  }

  void point_picking_modes() {
    InteractiveCanvas canvas;
    QSignalSpy points(&canvas, &InteractiveCanvas::point_clicked);
    QSignalSpy done(&canvas, &InteractiveCanvas::polygon_completed);
    canvas.set_draw_mode("Crop");
    press(canvas, {3, 4}, Qt::RightButton);
    QCOMPARE(points.count(), 0);
    press(canvas, {3, 4});
    release(canvas, {3, 4});
    QCOMPARE(points.count(), 1);
    QCOMPARE(points.last().at(0).toPointF(), QPointF(3, 4));
    canvas.set_draw_mode("Warp");
    press(canvas, {7, 8});
    QCOMPARE(points.count(), 2);
    QCOMPARE(done.count(), 0);
    QVERIFY(!canvas.drawing);
  }

  void view_zoom_and_pan() {
    ZoomableView view;
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QPixmap big(2000, 1500);
    big.fill(Qt::gray);
    view.set_image(big);
    const double fitted = view.transform().m11();
    QVERIFY(fitted < 0.25);

    auto wheel = [&](int dy) {
      QWheelEvent event(QPointF(200, 150), view.viewport()->mapToGlobal(QPointF(200, 150)), QPoint(), QPoint(0, dy),
                        Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
      QCoreApplication::sendEvent(view.viewport(), &event);
    };
    wheel(5);  // a fraction of a notch is one full factor
    QVERIFY(std::abs(view.transform().m11() / fitted - 1.15) < 1e-9);
    for (int i = 0; i < 9; ++i) wheel(120);
    for (int i = 0; i < 10; ++i) wheel(-120);
    QVERIFY(std::abs(view.transform().m11() / fitted - 1.0) < 1e-9);
    wheel(0);  // a horizontal tilt zooms out
    QVERIFY(std::abs(view.transform().m11() / fitted - 1 / 1.15) < 1e-9);

    // Middle-button drag pans (here the image is zoomed in so that there is room to scroll).
    for (int i = 0; i < 12; ++i) wheel(120);
    const int h0 = view.horizontalScrollBar()->value();
    QTest::mousePress(view.viewport(), Qt::MiddleButton, {}, QPoint(200, 150));
    QVERIFY(view.is_panning());
    QTest::mouseMove(view.viewport(), QPoint(150, 150));
    QTest::mouseRelease(view.viewport(), Qt::MiddleButton, {}, QPoint(150, 150));
    QVERIFY(!view.is_panning());
    QCOMPARE(view.horizontalScrollBar()->value(), h0 + 50);
    QCOMPARE(view.viewport()->cursor().shape(), Qt::OpenHandCursor);

    // A new image of another size is re-fitted.
    QPixmap small(100, 100);
    small.fill(Qt::red);
    view.set_image(small);
    QCOMPARE(view.scene()->sceneRect(), QRectF(0, 0, 100, 100));
    QVERIFY(view.transform().m11() > 2.0);
  }

  void view_left_button_rules() {
    InteractiveCanvas canvas;
    ZoomableView view;
    view.setScene(&canvas);
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QPixmap pix(100, 100);
    pix.fill(Qt::gray);
    canvas.addPixmap(pix);
    canvas.setSceneRect(-500, -500, 1100, 1100);
    view.centerOn(50, 50);
    const QPoint on_image = view.mapFromScene(QPointF(50, 50));
    const QPoint beside = view.mapFromScene(QPointF(300, 300));

    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, on_image);
    QVERIFY(!view.is_panning());
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, on_image);
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, beside);
    QVERIFY(view.is_panning());
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, beside);

    canvas.set_draw_mode("Polygon");
    view.set_interaction_mode("Polygon");
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, beside);
    QVERIFY(!view.is_panning());
    QCOMPARE(canvas.current_polygon.size(), 1);
    QTest::mousePress(view.viewport(), Qt::MiddleButton, {}, on_image);
    QVERIFY(view.is_panning());
    QTest::mouseRelease(view.viewport(), Qt::MiddleButton, {}, on_image);
    QCOMPARE(view.viewport()->cursor().shape(), Qt::CrossCursor);
    QCOMPARE(canvas.current_polygon.size(), 1);  // the scene never saw the middle button
  }
};

QTEST_MAIN(TestCanvas)
#include "test_canvas.moc"

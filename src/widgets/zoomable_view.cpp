#include "widgets/zoomable_view.h"

#include <QPainter>

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include "widgets/interactive_canvas.h"

namespace quorlan {

ZoomableView::ZoomableView(QWidget* parent) : QGraphicsView(parent) {
  setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  setDragMode(QGraphicsView::NoDrag);
  setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
  setResizeAnchor(QGraphicsView::AnchorUnderMouse);
}

QString ZoomableView::scene_mode() const {
  if (auto* canvas = qobject_cast<InteractiveCanvas*>(scene())) return canvas->draw_mode;
  return QStringLiteral("Select/Move");
}

void ZoomableView::set_interaction_mode(const QString& mode) {
  viewport()->setCursor(mode == QLatin1String("Select/Move") ? Qt::OpenHandCursor : Qt::CrossCursor);
}

void ZoomableView::set_placeholder(const QString& text) {
  placeholder_ = text;
  viewport()->update();
}

void ZoomableView::paintEvent(QPaintEvent* event) {
  QGraphicsView::paintEvent(event);
  if (placeholder_.isEmpty()) return;
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::PlaceholderText));
  const QRect area = viewport()->rect().adjusted(24, 24, -24, -24);
  painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, placeholder_);
}

void ZoomableView::set_image(const QPixmap& pixmap, bool keep_transform) {
  if (!scene()) setScene(new QGraphicsScene(this));
  if (!keep_transform) resetTransform();
  scene()->clear();
  scene()->addPixmap(pixmap);
  scene()->setSceneRect(pixmap.rect());
  if (!keep_transform) fit_scene();
}

void ZoomableView::fit_scene() {
  keep_fitted_ = true;
  if (scene() && !sceneRect().isEmpty()) fitInView(sceneRect(), Qt::KeepAspectRatio);
}

void ZoomableView::resizeEvent(QResizeEvent* event) {
  QGraphicsView::resizeEvent(event);
  if (keep_fitted_) fit_scene();
}

void ZoomableView::zoom_by(double factor) {
  keep_fitted_ = false;
  const ViewportAnchor anchor = transformationAnchor();
  setTransformationAnchor(AnchorViewCenter);
  scale(factor, factor);
  setTransformationAnchor(anchor);
}

void ZoomableView::wheelEvent(QWheelEvent* event) {
  if (scene() && !scene()->items().isEmpty()) {
    const double factor = event->angleDelta().y() > 0 ? 1.15 : 1.0 / 1.15;
    keep_fitted_ = false;
    scale(factor, factor);
    event->accept();
    return;
  }
  QGraphicsView::wheelEvent(event);
}

void ZoomableView::mousePressEvent(QMouseEvent* event) {
  const bool over_item = scene() && itemAt(event->position().toPoint()) != nullptr;
  const bool pan = event->button() == Qt::MiddleButton ||
                   (event->button() == Qt::LeftButton && scene_mode() == QLatin1String("Select/Move") && !over_item);
  if (pan) {
    _is_panning = true;
    _pan_start_pos = event->position();
    viewport()->setCursor(Qt::ClosedHandCursor);
    event->accept();
    return;
  }
  QGraphicsView::mousePressEvent(event);
}

void ZoomableView::mouseMoveEvent(QMouseEvent* event) {
  if (_is_panning) {
    const QPointF delta = event->position() - _pan_start_pos;
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() - static_cast<int>(delta.x()));
    verticalScrollBar()->setValue(verticalScrollBar()->value() - static_cast<int>(delta.y()));
    _pan_start_pos = event->position();
    event->accept();
    return;
  }
  QGraphicsView::mouseMoveEvent(event);
}

void ZoomableView::mouseReleaseEvent(QMouseEvent* event) {
  if (_is_panning) {
    _is_panning = false;
    set_interaction_mode(scene_mode());
    event->accept();
    return;
  }
  QGraphicsView::mouseReleaseEvent(event);
}

}  // namespace quorlan

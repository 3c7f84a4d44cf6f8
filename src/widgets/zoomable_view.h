#pragma once
#include <QGraphicsView>
#include <QPixmap>
#include <QPointF>

namespace quorlan {

// The image viewer: wheel zoom about the mouse, middle-button pan anywhere, left-button pan
// over empty background in "Select/Move", and pixmaps fitted to the view.
class ZoomableView : public QGraphicsView {
  Q_OBJECT
 public:
  explicit ZoomableView(QWidget* parent = nullptr);

  void set_interaction_mode(const QString& mode);
  void set_image(const QPixmap& pixmap, bool keep_transform = false);

  bool is_panning() const { return _is_panning; }
  // Zooms by `factor` about the middle of the view (the keys' zoom).
  void zoom_by(double factor);
  // Fits the scene into the view, and keeps it fitted when the view changes size until the user
  // zooms.
  void fit_scene();
  bool keeps_fitted() const { return keep_fitted_; }
  // A hint written in the middle of the view (empty: none), for a view with nothing to show.
  void set_placeholder(const QString& text);
  QString placeholder() const { return placeholder_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  // Tab leaves the picture for the next widget instead of walking through its shapes for ever:
  // QGraphicsView's own version (which hands Tab to the scene's items) is skipped on purpose.
  bool focusNextPrevChild(bool next) override {
    return QWidget::focusNextPrevChild(next);  // NOLINT(bugprone-parent-virtual-call)
  }

 private:
  QString scene_mode() const;

  QString placeholder_;
  bool _is_panning = false;
  bool keep_fitted_ = false;
  QPointF _pan_start_pos;
};

}  // namespace quorlan

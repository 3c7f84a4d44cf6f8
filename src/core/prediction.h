#pragma once
// What a model found on one picture, whichever runtime ran it (the engine's host or the native
// runtime): boxes in the picture's pixels, each with its class and confidence, and for a
// segmentation model one outline per box.
#include <QHash>
#include <QImage>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QVector>
#include <optional>

namespace quorlan {

struct Detection {
  int cls = 0;
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // pixel corners
  double conf = 0;                        // the model's confidence
  QRectF box() const { return QRectF(QPointF(x1, y1), QPointF(x2, y2)); }
  // The box as a shape's four corners (top left, top right, bottom right, bottom left), exactly.
  QPolygonF corners() const { return QPolygonF({{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}}); }
};

struct Prediction {
  QVector<Detection> boxes;
  std::optional<QVector<QPolygonF>> masks;  // one pixel polygon per box, for segmentation models
  QHash<int, QString> names;
  QImage plot;      // the drawn result (RGB888) when asked for
  int dropped = 0;  // boxes of the model's output left out: not finite, or of no class it knows
};

// What the user is told of `dropped` boxes (empty for none).
inline QString dropped_text(int dropped) {
  return dropped > 0 ? QStringLiteral(
                           "%1 box(es) of the model's output were left out: not finite numbers, or of a "
                           "class the model does not name.")
                           .arg(dropped)
                     : QString();
}

}  // namespace quorlan

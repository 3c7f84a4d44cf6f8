#pragma once
// Carrying an image's YOLO labels to a picture made from it (a tile, a variant, a resized or
// turned copy): every vertex goes through the same geometry as the pixels, then the shapes are
// clipped to the new picture and written normalised to its size.
#include <QByteArray>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTransform>
#include <QVector>

#include "core/expected.h"
#include "core/label_files.h"

namespace quorlan {

// The labels of one picture, in its pixels.
struct SourceLabels {
  bool found = false;          // a label file exists for the picture
  QString path;                // that file
  QVector<LabelShape> shapes;  // polygon lines and box lines
  int unreadable = 0;          // lines that cannot be read: never carried, always counted
};

// The label file of `image_path` (beside it, or in the sibling `labels` folder of an `images`
// folder), read for a picture of `size`. A failure, naming the file, when it exists but cannot be
// read, or the engine rejects it (it would drop the picture too).
Expected<SourceLabels> read_source_labels(const QString& image_path, QSize size);

// True when any picture in `image_paths` has a label file.
bool any_label_file(const QStringList& image_paths);

// The part of `polygon` inside `rect` (Sutherland–Hodgman; empty when nothing is inside).
QPolygonF clip_polygon(const QPolygonF& polygon, const QRectF& rect);
// The area enclosed by `polygon` (absolute, shoelace).
double polygon_area(const QPolygonF& polygon);

struct CarriedShapes {
  QVector<LabelShape> shapes;  // in the new picture's pixels
  int cut = 0;                 // partly inside, dropped below the visible share
  int outside = 0;             // nothing inside
};

struct CarriedLabels {
  QByteArray bytes;  // the new label file ("\n" line ends); empty when no shape is kept
  int kept = 0;      // shapes written
  int cut = 0;       // shapes partly inside, dropped below the visible share
  int outside = 0;   // shapes with nothing inside
};

// `shapes` mapped by `geometry` into a picture of `size` (pixels to pixels), clipped to it and
// normalised. A polygon stays a polygon; a box becomes the box around its mapped corners. A
// shape whose visible part is below `min_visible` (0..1) of its mapped whole is dropped; so is
// one with nothing left.
CarriedLabels carry_labels(const QVector<LabelShape>& shapes, const QTransform& geometry, QSize size,
                           double min_visible = 0.0);
// The same, kept as shapes (to show them, or to carry them on through another step).
CarriedShapes carry_shapes(const QVector<LabelShape>& shapes, const QTransform& geometry, QSize size,
                           double min_visible = 0.0);

// The labels of `image_path` for a copy of it turned clockwise by `rotation` degrees (0, 90,
// 180 or 270); normalised coordinates do not change with the size. With 0 the file's bytes are
// kept as they are.
struct TurnedLabels {
  bool found = false;
  QByteArray bytes;
  int unreadable = 0;  // lines that could not be read, not carried
};
// A failure when the file exists but cannot be read.
Expected<TurnedLabels> turned_labels(const QString& image_path, int rotation);

}  // namespace quorlan

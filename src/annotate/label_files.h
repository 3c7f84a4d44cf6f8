#pragma once
// The on-disk forms of the annotations: the per-image YOLO polygon label file, the
// detection box line produced by the export, classes.txt, and the list marks.
#include <QByteArray>
#include <QPolygonF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

namespace quorlan {

// The image path with its extension (from the last dot of the file name) replaced by ".txt".
QString label_path_for(const QString& image_path);

// One label line: class id, then every vertex as x/width and y/height clamped to [0, 1]
// with six decimals, separated by single blanks.
QString format_label_line(int class_id, const QPolygonF& scene_points, int width, int height);

struct LabelShape {
  int class_id = 0;
  QPolygonF points;  // in pixels of the image the file was read for
};

struct LabelReadResult {
  QVector<LabelShape> shapes;  // every shape read before an error, in file order
  QString error;               // empty when the whole file was read
};

// Reads a label file for an image of `width` x `height` pixels and a class list of
// `class_count` names. Lines of fewer than three tokens and lines whose class id is not a
// position in the class list are skipped; any other bad token ends the reading.
LabelReadResult read_label_file(const QString& path, int class_count, int width, int height);
LabelReadResult parse_label_text(const QString& text, int class_count, int width, int height);

// Polygon line to detection line "cls xc yc w h\n"; nullopt for a line of fewer than three
// tokens. A coordinate that is not a number gives nullopt and sets *error.
std::optional<QString> polygon_line_to_box_line(const QString& line, QString* error = nullptr);

// classes.txt: nullopt when the file does not exist, an empty list when it cannot be read.
std::optional<QStringList> read_classes_file(const QString& path);
QByteArray classes_file_bytes(const QStringList& classes);

// "[✓] " for an annotated image, "[  ] " for a pending one.
QString status_mark(bool annotated);

}  // namespace quorlan

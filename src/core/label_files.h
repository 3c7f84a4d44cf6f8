#pragma once
// The on-disk forms of the annotations: the per-image YOLO label file (polygon lines, and the
// box lines other tools write), the detection box line produced by the export, classes.txt,
// and the list marks.
#include <QByteArray>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

#include "core/expected.h"

namespace quorlan {

// The folder holding the label files of the images in `image_folder`: as the engine finds them,
// the same path with its last `images` folder named `labels` (set/images/train ->
// set/labels/train; the export writes set/images -> set/labels) when that folder exists,
// otherwise `image_folder` itself.
QString label_folder_for(const QString& image_folder);
// The label file of `image_path` inside `label_folder`: its name with the extension (from the
// last dot of the file name) replaced by ".txt".
QString label_path_in(const QString& label_folder, const QString& image_path);
// Both in one: the label file of an image wherever its folder keeps them.
QString label_path_for(const QString& image_path);

// One label line: class id, then every vertex as x/width and y/height clamped to [0, 1]
// with six decimals (correctly rounded, as C's %.6f), separated by single blanks.
QString format_label_line(int class_id, const QPolygonF& scene_points, int width, int height);
// The box form of a shape: class id, centre x, centre y, width, height of its bounding box,
// clamped to the image and normalised.
QString format_box_line(int class_id, const QPolygonF& scene_points, int width, int height);
// A box as the four corners a box shape holds: top left, top right, bottom right, bottom left.
QPolygonF box_corners(const QRectF& box);
// A number in [0, 1] or any value as %.6f, without a negative zero.
QString fixed6(double value);

struct LabelShape {
  int class_id = 0;
  QPolygonF points;  // in pixels of the image the file was read for
  bool box = false;  // read from a 5-field box line (drawn as its rectangle)
  QByteArray raw;    // the line as read, without its line break
  int line = 0;      // its 1-based line in the file
};

struct LabelReadResult {
  QVector<LabelShape> shapes;  // the lines that can be shown, in file order
  // The lines that cannot be shown (a class id without a name, a negative id, a non-finite
  // number, a stray token, too few numbers), byte for byte and in file order.
  QVector<QByteArray> kept;
  QString first_malformed;  // the first malformed line, for the console; empty when none
  QByteArray eol = "\n";    // the file's line break, used when it is written back
};

// Reads label text for an image of `width` x `height` pixels. `class_count` < 0 means the
// folder has no class names, and every non-negative id is shown under its number. Lines end
// at LF, CR LF or a bare CR.
LabelReadResult parse_label_bytes(const QByteArray& bytes, int class_count, int width, int height);
LabelReadResult parse_label_text(const QString& text, int class_count, int width, int height);
// A missing file gives no shapes; one that exists but cannot be read is a failure naming it.
Expected<LabelReadResult> read_label_file(const QString& path, int class_count, int width, int height);

// One line of a label file, split as every reader of label lines splits it: the class token and
// the numbers after it. The one reader behind the annotator, the export, the health check and the
// image tools, so a box line is a box line everywhere.
struct LabelLine {
  int number = 0;          // 1-based line number in the file
  QByteArray raw;          // the line without its line break
  QByteArray end;          // its own line break as written ("\r\n", "\n", "\r"; empty for a last line without one)
  QByteArray class_token;  // the first token as written; empty for a blank line
  QVector<double> values;  // the numbers after the class token (all of them finite)
  int tokens = 0;          // how many tokens the line holds
  QString malformed;       // why the numbers cannot be read (a token that is not a finite number)
  bool blank() const { return tokens == 0; }
  // A detection line: class, centre x, centre y, width, height.
  bool is_box() const { return malformed.isEmpty() && values.size() == 4; }
  // A segmentation line: class and at least three points.
  bool is_polygon() const { return malformed.isEmpty() && values.size() >= 6 && values.size() % 2 == 0; }
  // The box the line stands for, normalised and not clamped: a box line's own, else the bounds of
  // its numbers read as x, y pairs.
  struct Bounds {
    double x1, y1, x2, y2;
  };
  Bounds bounds() const;
};
// The lines of label text; `eol` receives the file's line break (LF, CR LF or a bare CR).
QVector<LabelLine> split_label_lines(const QByteArray& bytes, QByteArray* eol = nullptr);

// The detection line of a label line, "cls xc yc w h\n": a box line's own box, a polygon
// line's bounding box (not clamped), each number with six decimals; the class token as written.
// Empty for a line of fewer than three tokens; a failure when a number cannot be read.
Expected<QString> box_line_of(const LabelLine& line);
// The same for one line of text.
Expected<QString> polygon_line_to_box_line(const QString& line);

// The kinds of label line: detection boxes or segmentation polygons.
enum class LabelKind { Boxes, Polygons };
// How many box and polygon lines label text holds.
struct KindCounts {
  int boxes = 0;
  int polygons = 0;
  bool mixed() const { return boxes > 0 && polygons > 0; }
};
KindCounts count_kinds(const QVector<LabelLine>& lines);

// classes.txt: nullopt when the file does not exist, an empty list when it cannot be read.
// UTF-8; a file that is not valid UTF-8 is read as Latin-1 (and never rewritten unless the
// user adds a class).
std::optional<QStringList> read_classes_file(const QString& path);
QByteArray classes_file_bytes(const QStringList& classes);

// A class name made safe for a one-name-per-line file: control characters and line breaks
// become blanks, surrounding blanks go.
QString clean_class_name(const QString& name);
// True when the name holds a control character (a line break, a tab, ...).
bool has_control_characters(const QString& name);

// "[✓] " for an annotated image, "[  ] " for a pending one.
QString status_mark(bool annotated);
// An image's place in the work: no label file, a label file with objects, or an empty label
// file (a background confirmed to hold no objects).
enum class LabelMark { Pending, Annotated, Background };
// status_mark(bool) for the first two, "[∅] " for a confirmed background.
QString status_mark(LabelMark mark);

}  // namespace quorlan

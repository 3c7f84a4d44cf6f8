#pragma once
// Datasets laid out the way other tools write them (converters, the engine's own layout), and a
// reader of box lines that shares no code with the studio, to check what the studio wrote.
#include <QMap>
#include <QSize>
#include <QString>
#include <QVector>
#include <optional>

namespace quorlan::test {

struct Box {
  int cls = 0;
  double xc = 0, yc = 0, w = 0, h = 0;  // normalised, as in a box line
};
using BoxesByStem = QMap<QString, QVector<Box>>;

// A box line as converters write it: the shortest decimals ("0 0.5 0.4375 0.25 0.2").
QString converter_box_line(const Box& box);

// A flat folder: `count` noise pictures of `size` (JPEG and PNG in turn), a label file of box
// lines beside each, and classes.txt. The boxes per picture stem.
BoxesByStem write_flat_box_dataset(const QString& folder, int count, QSize size);
// The engine's layout: root/images/{train,val}, root/labels/{train,val} and root/data.yaml with
// the names; `count` pictures per split.
BoxesByStem write_engine_box_dataset(const QString& root, int count, QSize size);

// Roboflow's export: root/data.yaml with "train: ../train/images", "val: ../valid/images",
// root/{train,valid}/{images,labels}; `count` pictures per split.
BoxesByStem write_roboflow_box_dataset(const QString& root, int count, QSize size);
// A list-file dataset: root/images/*, root/labels/*, root/train.txt and root/val.txt naming the
// pictures ("./images/x.jpg"), root/data.yaml with "path: ." and the two lists.
BoxesByStem write_list_file_dataset(const QString& root, int count, QSize size);
// A settings file of another program with a `names` key, which must never name classes.
void write_stray_names_yaml(const QString& folder);

// A dataset as another tool lays it out: what a user points the studio at, and a data.yaml (kept
// apart from it) through which the engine reads the same pictures. `fixed_yaml`, when set, reads
// them as the engine would once the layout is mended (labels moved to where it looks).
struct ForeignDataset {
  QString name;
  QString source;
  QString engine_yaml;
  QString fixed_yaml;
};
// Under `root`: CVAT's "YOLO 1.1" export, a Label Studio YOLO export, labels beside pictures inside
// images/, pictures in subfolders of the engine's splits, list files that name only some pictures,
// class ids written "0.0", and a flat folder of lines and pictures the engine rejects (four numbers,
// a box with a confidence, eight numbers, coordinates of 1.5 and -0.05, class ids -1, "cat" and one
// beyond the names, NaN in a polygon, an 8 x 8 picture, a truncated JPEG) beside good ones, a
// background without a label file and an empty label file.
QVector<ForeignDataset> write_foreign_datasets(const QString& root);

// The box lines of a label file, read without the studio's code; nullopt when the file is missing
// or any line is not exactly a class and four numbers.
std::optional<QVector<Box>> read_box_file(const QString& path);
// Whether two box lists agree line by line within `tolerance`.
bool same_boxes(const QVector<Box>& a, const QVector<Box>& b, double tolerance = 1e-6);
QString describe(const QVector<Box>& boxes);

}  // namespace quorlan::test

#include "support/foreign_datasets.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>

#include "support/fixtures.h"

namespace quorlan::test {
namespace {

// Three objects a picture, on a grid of eighths so tiles cut them at known places.
QVector<Box> boxes_for(int index) {
  const double shift = (index % 4) * 0.0625;
  return {{0, 0.25 + shift, 0.25, 0.25, 0.25},
          {1, 0.6875, 0.5 + shift / 2, 0.375, 0.25},
          {index % 3, 0.4375, 0.8125, 0.125, 0.125}};
}

void write_pictures(const QString& images, const QString& labels, int count, QSize size, int first, BoxesByStem& out) {
  QDir().mkpath(images);
  QDir().mkpath(labels);
  for (int i = 0; i < count; ++i) {
    const QString stem = QStringLiteral("frame_%1").arg(first + i, 3, 10, QLatin1Char('0'));
    const QString ext = i % 2 == 0 ? ".jpg" : ".png";
    write_noise_image(QDir(images).filePath(stem + ext), size.width(), size.height(), 100 + first + i);
    const QVector<Box> boxes = boxes_for(first + i);
    QString text;
    for (const Box& b : boxes) text += converter_box_line(b) + "\n";
    write_text(QDir(labels).filePath(stem + ".txt"), text);
    out[stem] = boxes;
  }
}

}  // namespace

QString converter_box_line(const Box& b) {
  return QStringLiteral("%1 %2 %3 %4 %5").arg(b.cls).arg(b.xc).arg(b.yc).arg(b.w).arg(b.h);
}

BoxesByStem write_flat_box_dataset(const QString& folder, int count, QSize size) {
  BoxesByStem out;
  write_pictures(folder, folder, count, size, 0, out);
  write_text(QDir(folder).filePath("classes.txt"), "car\nperson\nbike\n");
  return out;
}

BoxesByStem write_engine_box_dataset(const QString& root, int count, QSize size) {
  BoxesByStem out;
  write_pictures(root + "/images/train", root + "/labels/train", count, size, 0, out);
  write_pictures(root + "/images/val", root + "/labels/val", count, size, count, out);
  write_text(root + "/data.yaml",
             "path: " + root + "\ntrain: images/train\nval: images/val\nnames:\n  0: car\n  1: person\n  2: bike\n");
  return out;
}

BoxesByStem write_roboflow_box_dataset(const QString& root, int count, QSize size) {
  BoxesByStem out;
  write_pictures(root + "/train/images", root + "/train/labels", count, size, 0, out);
  write_pictures(root + "/valid/images", root + "/valid/labels", count, size, count, out);
  write_text(root + "/data.yaml",
             "train: ../train/images\nval: ../valid/images\n\nnc: 3\nnames: ['car', 'person', 'bike']\n\n"
             "roboflow:\n  workspace: w\n  project: p\n  version: 1\n");
  return out;
}

BoxesByStem write_list_file_dataset(const QString& root, int count, QSize size) {
  BoxesByStem out;
  write_pictures(root + "/images", root + "/labels", 2 * count, size, 0, out);
  QStringList stems = out.keys();
  QString train, val;
  for (int i = 0; i < stems.size(); ++i) {
    const QString ext = QFileInfo::exists(root + "/images/" + stems[i] + ".jpg") ? ".jpg" : ".png";
    (i < count ? train : val) += "./images/" + stems[i] + ext + "\n";
  }
  write_text(root + "/train.txt", train);
  write_text(root + "/val.txt", val);
  write_text(root + "/data.yaml",
             "path: .\ntrain: train.txt\nval: val.txt\nnames:\n  0: car\n  1: person\n  2: bike\n");
  return out;
}

namespace {

QString yaml_for(const QString& path, const QString& train, const QString& val, const QStringList& names) {
  QString text = QStringLiteral("train: %1\nval: %2\nnames:\n").arg(train, val);
  for (int i = 0; i < names.size(); ++i) text += QStringLiteral("  %1: %2\n").arg(i).arg(names[i]);
  write_text(path, text);
  return path;
}

void write_labelled(const QString& image, const QString& label, int index, const QString& labels_text = {}) {
  QDir().mkpath(QFileInfo(image).absolutePath());
  QDir().mkpath(QFileInfo(label).absolutePath());
  write_noise_image(image, 64, 48, 500 + index);
  QString text = labels_text;
  if (text.isNull())
    for (const Box& b : boxes_for(index)) text += converter_box_line(b) + "\n";
  write_text(label, text);
}

// A dataset whose pictures the engine reads from one folder, for training and validation alike.
ForeignDataset read_from(const QDir& top, const QString& name, const QString& source, const QString& pictures,
                         const QStringList& names) {
  return ForeignDataset{name, source, yaml_for(top.filePath(name + ".engine.yaml"), pictures, pictures, names), {}};
}

QString stem_of(int i) { return QStringLiteral("pic_%1").arg(i, 3, 10, QLatin1Char('0')); }

}  // namespace

QVector<ForeignDataset> write_foreign_datasets(const QString& root) {
  const QStringList names = {"car", "person", "bike"};
  QVector<ForeignDataset> out;
  const QDir top(root);
  QDir().mkpath(root);

  // CVAT "YOLO 1.1": obj.names, obj.data, train.txt naming data/obj_train_data/..., labels beside.
  {
    const QString base = top.filePath("cvat");
    QString list;
    for (int i = 0; i < 6; ++i) {
      const QString image = base + "/obj_train_data/" + stem_of(i) + ".jpg";
      write_labelled(image, base + "/obj_train_data/" + stem_of(i) + ".txt", i);
      list += "data/obj_train_data/" + stem_of(i) + ".jpg\n";
    }
    write_text(base + "/obj.names", names.join("\n") + "\n");
    write_text(base + "/obj.data", "classes = 3\ntrain = data/train.txt\nnames = data/obj.names\nbackup = backup/\n");
    write_text(base + "/train.txt", list);
    out << read_from(top, "cvat", base, base + "/obj_train_data", names);
  }
  // Label Studio's YOLO export: classes.txt and notes.json beside images/ and labels/.
  {
    const QString base = top.filePath("label_studio");
    for (int i = 0; i < 6; ++i)
      write_labelled(base + "/images/" + stem_of(i) + ".jpg", base + "/labels/" + stem_of(i) + ".txt", i + 10);
    write_text(base + "/classes.txt", names.join("\n") + "\n");
    write_text(base + "/notes.json", "{\"categories\": [{\"id\": 0, \"name\": \"car\"}], \"info\": {}}\n");
    out << read_from(top, "label_studio", base, base + "/images", names);
  }
  // Labels beside the pictures in a folder named images/ (the engine looks in ../labels/).
  {
    const QString base = top.filePath("beside");
    for (int i = 0; i < 5; ++i)
      write_labelled(base + "/images/" + stem_of(i) + ".png", base + "/images/" + stem_of(i) + ".txt", i + 20);
    write_text(base + "/images/classes.txt", names.join("\n") + "\n");
    const QString fixed = top.filePath("beside_fixed");
    for (int i = 0; i < 5; ++i) {
      QDir().mkpath(fixed + "/images");
      QDir().mkpath(fixed + "/labels");
      QFile::copy(base + "/images/" + stem_of(i) + ".png", fixed + "/images/" + stem_of(i) + ".png");
      QFile::copy(base + "/images/" + stem_of(i) + ".txt", fixed + "/labels/" + stem_of(i) + ".txt");
    }
    out << ForeignDataset{
        "beside", base + "/images",
        yaml_for(top.filePath("beside.engine.yaml"), base + "/images", base + "/images", names),
        yaml_for(top.filePath("beside_fixed.engine.yaml"), fixed + "/images", fixed + "/images", names)};
  }
  // The engine's layout with pictures in subfolders of its splits.
  {
    const QString base = top.filePath("subfolders");
    int i = 30;
    for (const char* split : {"train", "val"})
      for (const char* camera : {"cam1", "cam2"})
        for (int k = 0; k < 2; ++k, ++i)
          write_labelled(QStringLiteral("%1/images/%2/%3/%4.jpg").arg(base, split, camera, stem_of(i)),
                         QStringLiteral("%1/labels/%2/%3/%4.txt").arg(base, split, camera, stem_of(i)), i);
    write_text(base + "/data.yaml", "path: " + base +
                                        "\ntrain: images/train\nval: images/val\nnames:\n  0: car\n  1: "
                                        "person\n  2: bike\n");
    out << ForeignDataset{"subfolders", base, base + "/data.yaml", {}};
  }
  // List files that name only some of the pictures of images/.
  {
    const QString base = top.filePath("lists");
    QString train, val;
    for (int i = 0; i < 8; ++i) {
      write_labelled(base + "/images/" + stem_of(i) + ".jpg", base + "/labels/" + stem_of(i) + ".txt", i + 40);
      if (i < 4) train += "./images/" + stem_of(i) + ".jpg\n";
      if (i >= 4 && i < 6) val += "./images/" + stem_of(i) + ".jpg\n";
    }
    write_text(base + "/train.txt", train);
    write_text(base + "/val.txt", val);
    write_text(base + "/data.yaml",
               "path: " + base + "\ntrain: train.txt\nval: val.txt\nnames:\n  0: car\n  1: person\n  2: bike\n");
    out << ForeignDataset{"lists", base + "/data.yaml", base + "/data.yaml", {}};
  }
  // Class ids written as decimals ("0.0"), which the engine takes as whole numbers.
  {
    const QString base = top.filePath("float_ids");
    for (int i = 0; i < 4; ++i)
      write_labelled(base + "/" + stem_of(i) + ".jpg", base + "/" + stem_of(i) + ".txt", i + 50,
                     QStringLiteral("0.0 0.25 0.25 0.2 0.2\n%1.0 0.6 0.6 0.3 0.2\n").arg(i % 3));
    write_text(base + "/classes.txt", names.join("\n") + "\n");
    out << read_from(top, "float_ids", base, base, names);
  }
  // A flat folder of four classes where the engine drops some pictures.
  {
    const QString base = top.filePath("malformed");
    const QStringList four = {"a", "b", "c", "d"};
    for (int i = 0; i < 6; ++i)
      write_labelled(base + "/" + stem_of(i) + (i % 2 ? ".png" : ".jpg"), base + "/" + stem_of(i) + ".txt", i + 60,
                     QStringLiteral("%1 0.3 0.3 0.2 0.2\n3 0.7 0.6 0.2 0.3\n").arg(i % 4));
    write_labelled(base + "/polygons.jpg", base + "/polygons.txt", 70,
                   "2 0.1 0.1 0.4 0.1 0.4 0.5 0.1 0.5\n1 0.5 0.5 0.9 0.5 0.7 0.9\n");
    const QList<QPair<QString, QString>> bad = {
        {"four", "1 0.5 0.5 0.2\n"},
        {"confidence", "3 0.569 0.379 0.244 0.414 0.87\n"},
        {"eight", "0 0.1 0.2 0.3 0.4 0.5 0.6 0.7\n"},
        {"high", "0 1.5 0.5 0.2 0.2\n"},
        {"negative", "0 -0.05 0.5 0.2 0.2\n"},
        {"minus_one", "-1 0.5 0.5 0.2 0.2\n"},
        {"word", "cat 0.5 0.5 0.2 0.2\n"},
        {"unnamed", "7 0.5 0.5 0.2 0.2\n"},
        {"nan_polygon", "0 0.1 0.1 nan 0.2 0.3 0.3\n"},
    };
    int i = 71;
    for (const auto& [stem, text] : bad)
      write_labelled(base + "/" + stem + ".jpg", base + "/" + stem + ".txt", i++, text);
    QDir().mkpath(base);
    write_noise_image(base + "/tiny.png", 8, 8, 90);
    write_text(base + "/tiny.txt", "0 0.5 0.5 0.2 0.2\n");
    write_noise_image(base + "/cut.jpg", 64, 48, 91);
    QFile cut(base + "/cut.jpg");
    cut.open(QIODevice::ReadWrite);
    cut.resize(cut.size() * 2 / 3);
    cut.close();
    write_text(base + "/cut.txt", "0 0.5 0.5 0.2 0.2\n");
    write_noise_image(base + "/background.jpg", 64, 48, 92);
    write_noise_image(base + "/empty.jpg", 64, 48, 93);
    write_text(base + "/empty.txt", "");
    write_text(base + "/classes.txt", four.join("\n") + "\n");
    out << read_from(top, "malformed", base, base, four);
  }
  return out;
}

void write_stray_names_yaml(const QString& folder) {
  QDir().mkpath(folder);
  write_text(QDir(folder).filePath("settings.yaml"), "theme: dark\nnames: [alice, bob]\n");
}

std::optional<QVector<Box>> read_box_file(const QString& path) {
  await_writes();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  QVector<Box> boxes;
  for (const QString& line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
    const QStringList f = line.trimmed().split(QRegularExpression("\\s+"));
    if (f.size() != 5) return std::nullopt;
    bool ok[5];
    Box b;
    b.cls = f[0].toInt(&ok[0]);
    b.xc = f[1].toDouble(&ok[1]);
    b.yc = f[2].toDouble(&ok[2]);
    b.w = f[3].toDouble(&ok[3]);
    b.h = f[4].toDouble(&ok[4]);
    for (bool good : ok)
      if (!good) return std::nullopt;
    boxes << b;
  }
  return boxes;
}

bool same_boxes(const QVector<Box>& a, const QVector<Box>& b, double tolerance) {
  if (a.size() != b.size()) return false;
  for (int i = 0; i < a.size(); ++i)
    if (a[i].cls != b[i].cls || std::abs(a[i].xc - b[i].xc) > tolerance || std::abs(a[i].yc - b[i].yc) > tolerance ||
        std::abs(a[i].w - b[i].w) > tolerance || std::abs(a[i].h - b[i].h) > tolerance)
      return false;
  return true;
}

QString describe(const QVector<Box>& boxes) {
  QStringList lines;
  for (const Box& b : boxes) lines << QString::asprintf("%d %.7f %.7f %.7f %.7f", b.cls, b.xc, b.yc, b.w, b.h);
  return lines.join(" | ");
}

}  // namespace quorlan::test

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

void write_stray_names_yaml(const QString& folder) {
  QDir().mkpath(folder);
  write_text(QDir(folder).filePath("settings.yaml"), "theme: dark\nnames: [alice, bob]\n");
}

std::optional<QVector<Box>> read_box_file(const QString& path) {
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

// Datasets other tools wrote, read by the studio's one reader and, where the engine is installed,
// by the engine itself: the studio's verdict on each picture is the engine's, and the engine reads
// the studio's export exactly as it reads the source.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

#include "core/class_edit.h"
#include "core/dataset_reader.h"
#include "dataset/dataset_qa.h"
#include "dataset/split_export.h"
#include "support/fixtures.h"
#include "support/foreign_datasets.h"

using namespace quorlan;

namespace {

// What the engine makes of each picture a data.yaml leads to, over all its splits: by file name,
// "corrupt", "missing", "empty" or "found", with its boxes (class, x, y, w, h) sorted.
struct EngineReading {
  QString status;
  QVector<QVector<double>> boxes;
};
using Readings = QMap<QString, EngineReading>;

const char* kEngineScript = R"(
import json, sys, types
from ultralytics.data.utils import check_det_dataset, verify_image_label, img2label_paths
from ultralytics.data.base import BaseDataset
for yaml in sys.argv[1:]:
    data = check_det_dataset(yaml, autodownload=False)
    nc = len(data["names"])
    out = {}
    for split in ("train", "val", "test"):
        if not data.get(split):
            continue
        try:
            files = BaseDataset.get_img_files(types.SimpleNamespace(prefix="", fraction=1.0), data[split])
        except FileNotFoundError:
            continue  # an empty split
        for im, lb in zip(files, img2label_paths(files)):
            r = verify_image_label((im, lb, "", False, nc, 0, 0, False))
            name = im.split("/")[-1]
            if r[0] is None:
                out[name] = {"status": "corrupt", "boxes": []}
                continue
            nm, nf, ne = r[5], r[6], r[7]
            status = "missing" if nm else "empty" if ne else "found"
            out[name] = {"status": status, "boxes": sorted([float(v) for v in row] for row in r[1])}
    print(json.dumps(out))
)";

QVector<Readings> engine_readings(const QString& python, const QStringList& yamls) {
  QProcess engine;
  engine.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("YOLO_OFFLINE", "true");
  engine.setProcessEnvironment(env);
  engine.start(python, QStringList{"-c", kEngineScript} + yamls);
  if (!engine.waitForFinished(300000) || engine.exitCode() != 0) return {};
  QVector<Readings> all;
  for (const QByteArray& line : engine.readAllStandardOutput().split('\n')) {
    if (!line.startsWith('{')) continue;
    Readings readings;
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    for (auto it = object.begin(); it != object.end(); ++it) {
      EngineReading r;
      r.status = it.value().toObject()["status"].toString();
      for (const QJsonValue row : it.value().toObject()["boxes"].toArray()) {
        QVector<double> values;
        for (const QJsonValue v : row.toArray()) values << v.toDouble();
        r.boxes << values;
      }
      readings.insert(it.key(), r);
    }
    all << readings;
  }
  return all;
}

QString outcome_name(PictureVerdict::Outcome outcome) {
  switch (outcome) {
    case PictureVerdict::Outcome::Labelled:
      return "found";
    case PictureVerdict::Outcome::Background:
      return "missing";
    case PictureVerdict::Outcome::Empty:
      return "empty";
    case PictureVerdict::Outcome::Rejected:
      return "corrupt";
  }
  return {};
}

// The pictures the engine trains on (not corrupt), with their boxes.
Readings used(const Readings& readings) {
  Readings out;
  for (auto it = readings.cbegin(); it != readings.cend(); ++it)
    if (it->status != "corrupt") out.insert(it.key(), *it);
  return out;
}

QString differences(const Readings& source, const Readings& exported) {
  QStringList found;
  for (auto it = source.cbegin(); it != source.cend(); ++it) {
    if (!exported.contains(it.key())) {
      found << it.key() + " is not in the export";
      continue;
    }
    const EngineReading& other = exported[it.key()];
    bool same = other.boxes.size() == it->boxes.size();
    for (int i = 0; same && i < it->boxes.size(); ++i)
      for (int k = 0; k < 5; ++k) same = same && std::abs(other.boxes[i][k] - it->boxes[i][k]) < 1e-6;
    if (!same) found << it.key() + " has other boxes";
  }
  for (auto it = exported.cbegin(); it != exported.cend(); ++it)
    if (!source.contains(it.key())) found << it.key() + " is only in the export";
  return found.join("; ");
}

QMap<QString, QByteArray> snapshot(const QString& folder) {
  QMap<QString, QByteArray> files;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    files.insert(path, test::read_bytes(path));
  }
  return files;
}

}  // namespace

class TestForeignDatasets : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QVector<test::ForeignDataset> sets_;

  const test::ForeignDataset& set(const QString& name) const {
    for (const test::ForeignDataset& s : sets_)
      if (s.name == name) return s;
    qFatal("no fixture %s", qPrintable(name));
  }

  Dataset open(const QString& name) {
    const Expected<Dataset> dataset = open_dataset(set(name).source);
    if (!dataset) qWarning("%s", qPrintable(dataset.error()));
    return dataset ? *dataset : Dataset();
  }

  // The studio's export of a fixture, backgrounds included, for detection.
  Expected<ExportResult> export_of(const Dataset& dataset, const QString& destination) {
    const QVector<ImageLabelPair> pairs = collect_annotated_pairs(dataset.pictures, /*backgrounds=*/true);
    const GroupedSplit split = plan_grouped_split(pairs, 0.7, 0.2, 5);
    return export_dataset(split.pairs, split.counts, destination, LabelFormat::Detection, dataset.classes.names);
  }

 private slots:
  void initTestCase() { sets_ = test::write_foreign_datasets(dir_.filePath("sets")); }

  void the_reader_finds_pictures_labels_and_names_as_other_tools_left_them() {
    const Dataset cvat = open("cvat");
    QCOMPARE(cvat.pictures.size(), 6);
    QCOMPARE(cvat.classes.names, QStringList({"car", "person", "bike"}));
    QCOMPARE(cvat.classes.source, FolderClasses::Source::ObjNames);
    const Dataset studio = open("label_studio");
    QCOMPARE(studio.kind, Dataset::Kind::TopFolder);
    QCOMPARE(studio.classes.source, FolderClasses::Source::LabelStudio);
    QVERIFY(studio.pictures.first().label.endsWith("label_studio/labels/pic_000.txt"));
    // Subfolders of a split are the split's.
    const Dataset sub = open("subfolders");
    QCOMPARE(sub.pictures.size(), 8);
    QCOMPARE(sub.splits, QStringList({"train", "val"}));
    QVERIFY(sub.pictures.first().label.contains("/labels/train/cam1/"));
    // Only what a list names.
    const Dataset lists = open("lists");
    QCOMPARE(lists.pictures.size(), 6);
    // Labels beside pictures in images/: the engine looks in ../labels/, the studio beside them.
    const Dataset beside = open("beside");
    QVERIFY(beside.pictures.first().label.endsWith("beside/labels/pic_000.txt"));
    QVERIFY(beside.pictures.first().label_beside_only());
    QVERIFY(beside.pictures.first().label_in_use().endsWith("beside/images/pic_000.txt"));
    // A folder holding only subfolders of pictures is read through them.
    const Expected<Dataset> nested = open_dataset(dir_.filePath("sets/subfolders/images"));
    QVERIFY(nested);
    QCOMPARE(nested->pictures.size(), 8);
    QVERIFY(!open_dataset(dir_.filePath("nothing-here")));
  }

  void the_health_check_says_where_the_engine_looks() {
    const QaFindings beside = examine_dataset_quality(open("beside"), 640);
    QStringList titles;
    for (const QaSection& s : beside.sections) titles << s.title;
    QVERIFY2(titles.join("|").contains("Labels beside pictures inside a folder named images/"),
             qPrintable(titles.join("|")));
    // The malformed folder: each rejected picture named with the engine's reason.
    const QaFindings malformed = examine_dataset_quality(open("malformed"), 640);
    QStringList rejected, unusable;
    for (const QaSection& s : malformed.sections) {
      if (s.title.startsWith("Label files the engine rejects whole")) rejected = s.items;
      if (s.title.startsWith("Images the engine cannot use")) unusable = s.items;
    }
    QVERIFY(rejected.contains("four.txt: labels require 5 columns, 4 columns detected"));
    QVERIFY(rejected.contains("unnamed.txt: Label class 7 exceeds dataset class count 4"));
    QVERIFY(rejected.contains("nan_polygon.txt: non-normalized or out of bounds coordinates"));
    QVERIFY(unusable.contains("cut.jpg: image file is truncated"));
    QVERIFY(unusable.contains("tiny.png: 8 x 8 px (under 10 px a side)"));
  }

  void the_export_holds_what_the_engine_reads_from_the_source() {
    const QString python = test::engine_python();
    QStringList yamls;
    QVector<QString> exported;
    const QMap<QString, QByteArray> before = snapshot(dir_.filePath("sets"));
    for (const test::ForeignDataset& s : sets_) {
      const Dataset dataset = open(s.name);
      QVERIFY2(!dataset.pictures.isEmpty(), qPrintable(s.name));
      const QString out = dir_.filePath("exports/" + s.name);
      const Expected<ExportResult> result = export_of(dataset, out);
      QVERIFY2(result.ok(), qPrintable(s.name + ": " + result.error()));
      // Names come from the source, never from ids.
      QVERIFY2(!test::read_text(out + "/data.yaml").contains("\"4\""), qPrintable(s.name));
      yamls << (s.fixed_yaml.isEmpty() ? s.engine_yaml : s.fixed_yaml) << out + "/data.yaml";
      exported << out;
    }
    // The malformed folder's export names each picture it left out with the engine's reason.
    const Expected<ExportResult> malformed = export_of(open("malformed"), dir_.filePath("exports/malformed-again"));
    QCOMPARE(malformed->left_out.size(), 11);
    QVERIFY(malformed->left_out.contains("confidence.txt: labels require 5 columns, 6 columns detected"));
    QVERIFY(malformed->left_out.contains("cut.jpg: image file is truncated"));
    QCOMPARE(snapshot(dir_.filePath("sets")), before);  // no source file was touched

    if (python.isEmpty()) QSKIP("the engine's environment is not installed here");
    const QVector<Readings> readings = engine_readings(python, yamls);
    QCOMPARE(readings.size(), yamls.size());
    for (int i = 0; i < sets_.size(); ++i) {
      const Readings& source = readings[2 * i];
      const Readings& copy = readings[2 * i + 1];
      QVERIFY2(!used(source).isEmpty(), qPrintable(sets_[i].name));
      const QString diff = differences(used(source), used(copy));
      QVERIFY2(diff.isEmpty(), qPrintable(sets_[i].name + ": " + diff));
      QVERIFY2(used(copy).size() == copy.size(),
               qPrintable(sets_[i].name + ": the export holds a picture the engine drops"));
    }
  }

  void the_studio_verdict_on_each_picture_is_the_engines() {
    const QString python = test::engine_python();
    if (python.isEmpty()) QSKIP("the engine's environment is not installed here");
    QStringList yamls;
    for (const test::ForeignDataset& s : sets_) yamls << s.engine_yaml;
    const QVector<Readings> readings = engine_readings(python, yamls);
    QCOMPARE(readings.size(), sets_.size());
    int compared = 0;
    for (int i = 0; i < sets_.size(); ++i) {
      const Dataset dataset = open(sets_[i].name);
      for (const DatasetPicture& picture : dataset.pictures) {
        const QString name = QFileInfo(picture.image).fileName();
        if (!readings[i].contains(name)) continue;  // a picture the engine's yaml does not list
        // What the engine reads where it looks: the studio's own labels beside are not that.
        DatasetPicture as_engine = picture;
        as_engine.studio_label = picture.label;
        const PictureVerdict ours = read_picture(as_engine, checked_class_count(dataset.classes));
        const EngineReading& theirs = readings[i][name];
        QVERIFY2(outcome_name(ours.outcome) == theirs.status,
                 qPrintable(QStringLiteral("%1/%2: studio %3 (%4), engine %5")
                                .arg(sets_[i].name, name, outcome_name(ours.outcome), ours.reason, theirs.status)));
        if (theirs.status == "found") {
          const auto kept =
              std::count_if(ours.rows.cbegin(), ours.rows.cend(), [](const LabelRow& r) { return !r.duplicate; });
          QCOMPARE(static_cast<int>(kept), static_cast<int>(theirs.boxes.size()));
        }
        ++compared;
      }
    }
    QVERIFY(compared >= 50);
  }

  void merging_classes_in_a_file_with_a_byte_order_mark_then_undo() {
    QTemporaryDir folder;
    const QString label = folder.filePath("a.txt");
    const QByteArray bytes =
        "\xEF\xBB\xBF"
        "3 0.5 0.5 0.2 0.2\r\n1 0.1 0.1 0.1 0.1\r\n";
    QFile file(label);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    // Merging class 3 into 1 (of four): the first line is rewritten too, its mark kept.
    const ClassRewrite plan = plan_class_rewrite({label}, merge_classes({"a", "b", "c", "d"}, 3, 1).new_id);
    QCOMPARE(plan.files, QStringList({label}));
    QVERIFY(rewrite_label_files(plan.before, plan.after));
    QCOMPARE(test::read_bytes(label), QByteArray("\xEF\xBB\xBF"
                                                 "1 0.5 0.5 0.2 0.2\r\n1 0.1 0.1 0.1 0.1\r\n"));
    QCOMPARE(verdict_of_label_bytes(test::read_bytes(label), 3).outcome, PictureVerdict::Outcome::Labelled);
    QVERIFY(rewrite_label_files(plan.after, plan.before));
    QCOMPARE(test::read_bytes(label), bytes);
  }
};

QTEST_GUILESS_MAIN(TestForeignDatasets)
#include "test_foreign_datasets.moc"

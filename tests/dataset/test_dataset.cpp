#include <unistd.h>
#include <yaml-cpp/yaml.h>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "dataset/class_stats.h"
#include "dataset/dataset_actions.h"
#include "dataset/dataset_qa.h"
#include "dataset/health_check.h"
#include "dataset/split_config_dialog.h"
#include "dataset/split_export.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "widgets/busy_wait.h"

using namespace quorlan;

namespace {

std::function<int(QDialog&)> answer_split(int train, int val, int test, const QString& format) {
  return [=](QDialog& dialog) -> int {
    auto& split = static_cast<SplitConfigDialog&>(dialog);
    split.ts->setValue(train);
    split.vs->setValue(val);
    split.tes->setValue(test);
    split.fc->setCurrentIndex(format == "Detection" ? 0 : 1);
    split.validate();
    return split.result();
  };
}

int count_files(const QString& dir) { return QDir(dir).entryList(QDir::Files).size(); }

}  // namespace

class TestDataset : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

  QString path(const QString& name) const { return dir_->filePath(name); }

  // n images img0..img{n-1}.png, each with a polygon label file unless listed in `bare`.
  QStringList make_folder(int n, const QSet<int>& bare = {}) {
    QStringList paths;
    for (int i = 0; i < n; ++i) {
      const QString image = path(QStringLiteral("img%1.png").arg(i));
      test::write_noise_image(image, 16, 16, 1000 + i);  // different pictures: neither duplicates nor near ones
      if (!bare.contains(i))
        test::write_text(path(QStringLiteral("img%1.txt").arg(i)), "1 0.2 0.4 0.6 0.4 0.6 0.8 0.2 0.8\n");
      paths << image;
    }
    return paths;
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
  }

  void split_arithmetic() {
    auto same = [](SplitCounts c, int a, int b, int t) { return c.train == a && c.val == b && c.test == t; };
    QVERIFY(same(plan_split(10, 0.7, 0.2), 7, 2, 1));
    QVERIFY(same(plan_split(3, 0.7, 0.2), 2, 0, 1));
    QVERIFY(same(plan_split(5, 0.0, 0.0), 0, 0, 5));
    QVERIFY(same(plan_split(100, 0.29, 0.71), 28, 71, 1));  // 100 x 0.29 is 28.999...
    QVERIFY(same(plan_split(0, 0.7, 0.2), 0, 0, 0));
  }

  void shuffles_differ() {
    QVector<ImageLabelPair> a;
    for (int i = 0; i < 30; ++i) a.append({QString::number(i), QString()});
    QVector<ImageLabelPair> b = a;
    shuffle_pairs(a);
    shuffle_pairs(b);
    QStringList ia, ib;
    for (int i = 0; i < 30; ++i) ia << a[i].image, ib << b[i].image;
    QVERIFY(ia != ib);
    std::sort(ia.begin(), ia.end());
    std::sort(ib.begin(), ib.end());
    QCOMPARE(ia, ib);
  }

  void config_dialog() {
    SplitConfigDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString("Dataset Train/Val/Test Splitter"));
    QCOMPARE(dialog.get_format(), QString("Detection"));
    QCOMPARE(dialog.get_ratios(), (std::array<double, 3>{0.7, 0.2, 0.1}));
    dialog.ts->setValue(50);
    dialog.vs->setValue(30);
    dialog.tes->setValue(30);
    dialog.validate();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(prompts_->messages.size(), 1);
    QCOMPARE(prompts_->messages[0].title, QString("Invalid"));
    QCOMPARE(prompts_->messages[0].text, QString("Must total 100%."));
    dialog.ts->setValue(40);
    dialog.fc->setCurrentIndex(1);
    dialog.validate();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.get_format(), QString("Segmentation"));
  }

  void segmentation_export_tree_times_and_manifest() {
    const QStringList images = make_folder(12, {10, 11});  // two pending images are left out
    {
      QFile stamped(path("img3.png"));
      QVERIFY(stamped.open(QIODevice::ReadWrite));
      QVERIFY(stamped.setFileTime(QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5)), QFileDevice::FileModificationTime));
    }
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Segmentation"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"car", "bus"});

    QCOMPARE(count_files(out.filePath("train/images")), 7);
    QCOMPARE(count_files(out.filePath("val/images")), 2);
    QCOMPARE(count_files(out.filePath("test/images")), 1);
    int labels = 0;
    for (const char* set : {"train", "val", "test"}) {
      const QString dir = out.filePath(QString(set) + "/labels");
      labels += count_files(dir);
      for (const QString& name : QDir(dir).entryList(QDir::Files)) {
        QCOMPARE(test::read_text(QDir(dir).filePath(name)), QString("1 0.2 0.4 0.6 0.4 0.6 0.8 0.2 0.8\n"));
        // Every label sits beside its image's set, under the same stem.
        QVERIFY(
            QFileInfo::exists(out.filePath(QString(set) + "/images/" + QFileInfo(name).completeBaseName() + ".png")));
      }
      const QString copied = out.filePath(QString(set) + "/images/img3.png");
      if (QFileInfo::exists(copied))
        QCOMPARE(QFileInfo(copied).lastModified(), QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5)));
    }
    QCOMPARE(labels, 10);
    QVERIFY(!QFileInfo::exists(out.filePath("train/images/img10.png")));

    const QString manifest = test::read_text(out.filePath("data.yaml"));
    QCOMPARE(manifest, "path: " + QDir(out.path()).absolutePath() +
                           "\ntrain: train/images\nval: val/images\ntest: test/images\n\nnames:\n  0: car\n  1: bus\n");
    const YAML::Node node = YAML::LoadFile(out.filePath("data.yaml").toStdString());
    QCOMPARE(QString::fromStdString(node["names"][1].as<std::string>()), QString("bus"));

    QCOMPARE(prompts_->messages.size(), 1);
    QCOMPARE(prompts_->messages[0].title, QString("Export Complete"));
    QCOMPARE(prompts_->messages[0].text,
             "Exported dataset successfully to:\n" + out.path() +
                 "\n\ntrain: 7 images\nval: 2 images\ntest: 1 images"
                 "\n\nSeed: 42 (10 groups: images made from one source, identical or alike stay in one set)"
                 "\ntrain objects: bus 7\nval objects: bus 2\ntest objects: bus 1"
                 "\n\nLabels (Segmentation): 10 polygon(s), 0 box(es), copied as they are");
  }

  void seeded_split_keeps_sources_together_and_replaces_an_older_export() {
    // 12 sources, each with two tiles and a variant made by the studio's tools; a background
    // image (an empty label file) and two byte-identical pictures.
    QStringList images;
    for (int i = 0; i < 12; ++i) {
      for (const QString& suffix : {QStringLiteral("_part_1"), QStringLiteral("_part_2"),
                                    QStringLiteral("_warped_enriched_1700000000_var_1")}) {
        const QString image = path(QStringLiteral("s%1%2.png").arg(i).arg(suffix));
        test::write_noise_image(image, 16, 16, static_cast<quint32>(100 * (i + 1) + suffix.size()));
        test::write_text(path(QStringLiteral("s%1%2.txt").arg(i).arg(suffix)), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
        images << image;
      }
    }
    test::write_noise_image(path("twin_a.png"), 16, 16, 99999);
    test::write_noise_image(path("twin_b.png"), 16, 16, 99999);
    test::write_noise_image(path("empty.png"), 16, 16, 88888);
    test::write_text(path("twin_a.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    test::write_text(path("twin_b.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    test::write_text(path("empty.txt"), "");
    images << path("twin_a.png") << path("twin_b.png") << path("empty.png");
    // A resized copy under another name: a near-duplicate.
    test::write_noise_image(path("big.png"), 128, 128, 4242);
    QVERIFY(QImage(path("big.png"))
                .scaled(64, 64, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .save(path("other.png")));
    test::write_text(path("big.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    test::write_text(path("other.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    images << path("big.png") << path("other.png");
    const QVector<ImageLabelPair> pairs = collect_annotated_pairs(images);
    QCOMPARE(pairs.size(), 41);

    const auto set_of = [](const GroupedSplit& split) {
      QHash<QString, int> where;
      for (int i = 0; i < split.pairs.size(); ++i)
        where[QFileInfo(split.pairs[i].image).fileName()] = i < split.counts.train                      ? 0
                                                            : i < split.counts.train + split.counts.val ? 1
                                                                                                        : 2;
      return where;
    };
    const GroupedSplit a = plan_grouped_split(pairs, 0.7, 0.2, 42), b = plan_grouped_split(pairs, 0.7, 0.2, 42),
                       c = plan_grouped_split(pairs, 0.7, 0.2, 7);
    QCOMPARE(a.groups, 15);           // 12 sources, the twins, the background, the picture and its resized copy
    QVERIFY(set_of(a) == set_of(b));  // the same seed: the same split
    QVERIFY(set_of(a) != set_of(c));  // another seed: another split
    const QHash<QString, int> where = set_of(a);
    for (int i = 0; i < 12; ++i) {
      const int set = where[QStringLiteral("s%1_part_1.png").arg(i)];
      QCOMPARE(where[QStringLiteral("s%1_part_2.png").arg(i)], set);
      QCOMPARE(where[QStringLiteral("s%1_warped_enriched_1700000000_var_1.png").arg(i)], set);
    }
    QCOMPARE(where["twin_a.png"], where["twin_b.png"]);
    QCOMPARE(where["big.png"], where["other.png"]);
    QCOMPARE(source_stem("/d/x_scaled_2_part_03.jpg"), QString("x"));

    // Through the dialogs: an older export in the destination is replaced after asking.
    QTemporaryDir out;
    QDir(out.path()).mkpath("val/images");
    test::write_text(out.filePath("val/images/stale.png"), "old");
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Segmentation"));
    prompts_->directories.push_back(out.path());
    prompts_->choices = {1};  // Cancel: nothing changes
    export_and_split_dataset(nullptr, images, {"car"});
    QCOMPARE(prompts_->messages.last().title, QString("Older Export Found"));
    QVERIFY(QFileInfo::exists(out.filePath("val/images/stale.png")));
    QVERIFY(!QFileInfo::exists(out.filePath("data.yaml")));
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Segmentation"));
    prompts_->directories.push_back(out.path());
    prompts_->choices = {0};  // Replace
    export_and_split_dataset(nullptr, images, {"car"});
    QCOMPARE(prompts_->messages.last().title, QString("Export Complete"));
    QVERIFY(prompts_->messages.last().text.contains("Seed: 42 (15 groups"));
    QVERIFY(!QFileInfo::exists(out.filePath("val/images/stale.png")));
    // The background image goes out with its empty label file.
    QString background;
    for (const char* set : {"train", "val", "test"})
      if (QFileInfo::exists(out.filePath(QStringLiteral("%1/labels/empty.txt").arg(set))))
        background = out.filePath(QStringLiteral("%1/labels/empty.txt").arg(set));
    QVERIFY(!background.isEmpty());
    QCOMPARE(QFileInfo(background).size(), 0);
  }

  void detection_export_converts_boxes_and_warns_on_empty_val() {
    const QStringList images = make_folder(3);
    test::write_text(path("img0.txt"), "1 0.2 0.4 0.6 0.4 0.6 0.8 0.2 0.8\n4 0.5 0.25\n7 0.5\n");
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {});
    QCOMPARE(count_files(out.filePath("train/images")), 2);
    QVERIFY(QDir(out.filePath("val/images")).exists());
    QVERIFY(QDir(out.filePath("val/labels")).exists());
    QCOMPARE(count_files(out.filePath("val/images")), 0);
    QString img0;
    for (const char* set : {"train", "test"})
      if (QFileInfo::exists(out.filePath(QString(set) + "/labels/img0.txt")))
        img0 = test::read_text(out.filePath(QString(set) + "/labels/img0.txt"));
    QCOMPARE(img0, QString("1 0.400000 0.600000 0.400000 0.400000\n4 0.500000 0.250000 0.000000 0.000000\n"));
    // No class names: every id up to the largest in the labels is named by its number.
    QVERIFY(test::read_text(out.filePath("data.yaml"))
                .endsWith("\nnames:\n  0: \"0\"\n  1: \"1\"\n  2: \"2\"\n  3: \"3\"\n  4: \"4\"\n"));
    QVERIFY(prompts_->messages[0].text.contains("Warning: class ids 0 to 4 have no name"));
    QVERIFY(prompts_->messages[0].text.contains("val: 0 images"));
    QVERIFY(prompts_->messages[0].text.contains("Warning: the val set is empty"));
  }

  void everything_in_test_and_refusals() {
    QStringList images = make_folder(4);
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(0, 0, 100, "Segmentation"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"a"});
    QCOMPARE(count_files(out.filePath("test/images")), 4);
    QCOMPARE(count_files(out.filePath("train/images")), 0);

    // Nothing loaded: no dialog at all. Cancelled dialog or folder: nothing written.
    prompts_->messages.clear();
    export_and_split_dataset(nullptr, {}, {"a"});
    QVERIFY(prompts_->dialog_titles.size() == 1 && prompts_->messages.isEmpty());
    prompts_->dialogs.push_back([](QDialog&) { return int(QDialog::Rejected); });
    export_and_split_dataset(nullptr, images, {"a"});
    QVERIFY(prompts_->asked_titles.size() == 1);
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Detection"));
    export_and_split_dataset(nullptr, images, {"a"});  // no folder chosen
    QVERIFY(prompts_->messages.isEmpty());

    // No annotated image at all.
    for (int i = 0; i < 4; ++i) QFile::remove(path(QStringLiteral("img%1.txt").arg(i)));
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"a"});
    QCOMPARE(prompts_->messages.last().title, QString("No Annotations"));
    QCOMPARE(prompts_->messages.last().text, QString("No annotated files found to split."));
  }

  void failures_stop_the_export_and_name_the_file() {
    const QStringList images = make_folder(2);
    test::write_text(path("img1.txt"), "0 0.1 zero 0.3 0.4\n");
    test::write_text(path("img0.txt"), "0 0.1 zero 0.3 0.4\n");
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(100, 0, 0, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"a"});
    QCOMPARE(prompts_->messages.size(), 1);
    QCOMPARE(prompts_->messages[0].kind, MessageKind::Critical);
    QCOMPARE(prompts_->messages[0].title, QString("Export Error"));
    QVERIFY(prompts_->messages[0].text.contains("zero"));
    QVERIFY(prompts_->messages[0].text.contains(".txt"));
    QVERIFY(!QFileInfo::exists(out.filePath("data.yaml")));

    // A destination that cannot be written.
    test::write_text(path("img0.txt"), "0 0.1 0.2 0.3 0.4\n");
    test::write_text(path("img1.txt"), "0 0.1 0.2 0.3 0.4\n");
    QTemporaryDir locked;
    if (!test::make_unwritable(locked.path())) QSKIP("cannot make a folder unwritable here");
    prompts_->dialogs.push_back(answer_split(100, 0, 0, "Segmentation"));
    prompts_->directories.push_back(locked.path());
    export_and_split_dataset(nullptr, images, {"a"});
    test::make_writable(locked.path());
    QCOMPARE(prompts_->messages.last().title, QString("Export Error"));
    QVERIFY(prompts_->messages.last().text.contains(QDir::toNativeSeparators(locked.path())));
  }

  void manifest_example_and_yaml_names() {
    QCOMPARE(manifest_text("C:\\work\\ds", {"car", "bus"}),
             QString("path: C:/work/ds\ntrain: train/images\nval: val/images\ntest: test/images\n\nnames:\n"
                     "  0: car\n  1: bus\n"));
    const QStringList plain = {"car", "traffic light", "3d-printer", "Straße", "猫", "person_2", "a:b", "c#"};
    for (const QString& name : plain) QCOMPARE(yaml_class_name(name), name);
    const QStringList tricky = {"yes",
                                "No",
                                "on",
                                "1",
                                "007",
                                "1.5",
                                "1e3",
                                ".inf",
                                "null",
                                "~",
                                "a: b",
                                "#x",
                                " padded",
                                "trail ",
                                "it's",
                                "say \"hi\"",
                                "back\\slash",
                                "-dash",
                                "12:30",
                                "2024-01-02",
                                "0x1F",
                                "[list]",
                                "{map}",
                                "*star",
                                "&anchor",
                                "!tag",
                                "",
                                "tab\there",
                                "c1\u0085\u0090",
                                "line\u2028sep",
                                "para\u2029sep",
                                "bom\ufeff",
                                "non\ufffechar"};
    QStringList all = plain + tricky;
    const QString yaml = manifest_text("/data/set #2/v2: final", all);
    const YAML::Node names = YAML::Load(yaml.toStdString())["names"];
    QCOMPARE(int(names.size()), all.size());
    QCOMPARE(QString::fromStdString(YAML::Load(yaml.toStdString())["path"].as<std::string>()),
             QString("/data/set #2/v2: final"));
    for (int i = 0; i < all.size(); ++i) {
      const YAML::Node n = names[i];
      QCOMPARE(QString::fromStdString(n.as<std::string>()), all[i]);
      if (i >= plain.size()) QVERIFY2(n.Tag() == "!", qPrintable(all[i]));  // written quoted
    }
    // The engine reads the manifest with PyYAML: every name must come back as the same string.
    const QString python = "/usr/bin/python3";
    if (QFileInfo::exists(python)) {
      QTemporaryDir tmp;
      test::write_text(tmp.filePath("data.yaml"), yaml);
      QProcess p;
      p.start(python, {"-c",
                       "import sys, yaml, json\n"
                       "doc = yaml.safe_load(open(sys.argv[1], encoding='utf-8'))\n"
                       "names = doc['names']\n"
                       "print(json.dumps([doc['path']] + [names[i] for i in range(len(names))]))",
                       tmp.filePath("data.yaml")});
      QVERIFY(p.waitForFinished(30000));
      QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
      const QJsonArray read = QJsonDocument::fromJson(p.readAllStandardOutput()).array();
      QCOMPARE(read.size(), all.size() + 1);
      QCOMPARE(read[0].toString(), QString("/data/set #2/v2: final"));
      for (int i = 0; i < all.size(); ++i) QCOMPARE(read[i + 1].toString(), all[i]);
    }
  }

  void export_never_writes_over_its_sources() {
    // A kept split: images in D/train/images, labels in D/train/labels; exporting into D.
    QDir(dir_->path()).mkpath("train/images");
    QDir(dir_->path()).mkpath("train/labels");
    QStringList images;
    for (int i = 0; i < 4; ++i) {
      images << path(QStringLiteral("train/images/i%1.png").arg(i));
      test::write_image(images.last(), 16, 16);
      test::write_text(path(QStringLiteral("train/labels/i%1.txt").arg(i)), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    }
    const QByteArray image0 = test::read_bytes(images[0]);
    for (const QString& destination : {dir_->path(), path("train/..")}) {
      prompts_->dialogs.push_back(answer_split(70, 20, 10, "Segmentation"));
      prompts_->directories.push_back(destination);
      export_and_split_dataset(nullptr, images, {"car"});
      QCOMPARE(prompts_->messages.last().title, QString("Export Error"));
      QVERIFY(prompts_->messages.last().text.contains("holds the source folder"));
      QVERIFY(prompts_->messages.last().text.contains("No file was written"));
    }
    QCOMPARE(test::read_bytes(images[0]), image0);
    QVERIFY(!QFileInfo::exists(path("data.yaml")));
    QVERIFY(!QDir(path("val")).exists() || QDir(path("val/images")).isEmpty());

    // A hard link to a source in another destination is the same file: refused too.
    QTemporaryDir out;
    QDir(out.path()).mkpath("val/images");
    if (::link(QFile::encodeName(images[0]).constData(),
               QFile::encodeName(out.filePath("val/images/i0.png")).constData()) == 0) {
      const QVector<ImageLabelPair> pairs = collect_annotated_pairs(images);
      QCOMPARE(pairs.size(), 4);
      QCOMPARE(pairs[0].label, path("train/labels/i0.txt"));  // the engine's layout is followed
      QVERIFY(export_source_conflict(pairs, out.path()).contains("hard link"));
      const ExportResult result =
          export_dataset(pairs, plan_split(4, 0.5, 0.5), out.path(), LabelFormat::Segmentation, {"car"});
      QVERIFY(!result.error.isEmpty());
      QCOMPARE(test::read_bytes(images[0]), image0);
    }
    // Into a fresh folder the same export works.
    QTemporaryDir fresh;
    const ExportResult ok = export_dataset(collect_annotated_pairs(images), plan_split(4, 0.5, 0.5), fresh.path(),
                                           LabelFormat::Segmentation, {"car"});
    QVERIFY2(ok.error.isEmpty(), qPrintable(ok.error));
    QCOMPARE(count_files(fresh.filePath("train/labels")), 2);
  }

  void full_disk_keeps_the_old_manifest() {
    test::SmallDisk disk(128);
    if (!disk.ok()) QSKIP("a small tmpfs cannot be mounted here");
    const QStringList images = make_folder(1);
    test::write_text(disk.path() + "/data.yaml", "old manifest\n");
    disk.fill();
    const ExportResult result = export_dataset(collect_annotated_pairs(images), plan_split(1, 1, 0), disk.path(),
                                               LabelFormat::Segmentation, {"a", "b"});
    QVERIFY(!result.error.isEmpty());
    QVERIFY2(result.error.contains("No space left on device"), qPrintable(result.error));
    QCOMPARE(test::read_text(disk.path() + "/data.yaml"), QString("old manifest\n"));
    // No half-written copy is left: only whole files (none here), no temporary one.
    QDirIterator it(disk.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString name = QFileInfo(it.next()).fileName();
      QVERIFY2(name == "data.yaml" || name == ".filler", qPrintable(name));
    }
  }

  void health_report_text_and_findings() {
    for (const char* name : {"a.jpg", "b.png", "c.webp", "d.jpeg", "e.JPG", "f.png", "z.bmp", "img10.jpg"})
      test::write_text(path(name), "x");
    test::write_text(path("a.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    test::write_text(path("z.txt"), "0 0.1 0.1 0.2 0.2\n");  // matches a .bmp image: annotated
    test::write_text(path("img1.txt"), "not read");          // only img10.jpg: orphaned
    test::write_text(path("classes.txt"), "car\n");
    test::write_text(path("Classes.txt"), "car\n");  // a label file without an image
    auto findings = examine_folder(dir_->path());
    QVERIFY(findings);
    QCOMPARE(findings->overlap_issues, QStringList({"a.txt (IoU > 90%)"}));
    QCOMPARE(findings->overlap_file_pairs, QVector<qint64>({1}));
    QStringList orphaned = findings->orphaned;
    orphaned.sort();
    QCOMPARE(orphaned, QStringList({"Classes.txt", "img1.txt"}));
    QCOMPARE(findings->unannotated.size(), 6);

    HealthFindings fixed;
    fixed.unannotated = {"b.png", "it's.jpg", "c.png", "d.png", "e.png"};
    fixed.orphaned = {"x.txt"};
    fixed.overlap_issues = {"a.txt (IoU > 90%)", "b.txt (IoU > 90%)", "c.txt (IoU > 90%)", "d.txt (IoU > 90%)"};
    fixed.overlap_file_pairs = {2, 1, 1, 1};
    fixed.overlap_pairs = 5;
    QCOMPARE(health_report_text(fixed),
             QString("🩺 Dataset QA Health Report:\n\nUnannotated Images: 5\nOrphaned Label Files: 1\n"
                     "Overlapping Polygons/Boxes (Duplicates): 5\n\nMissing Annotations (Sample):\n"
                     "['b.png', \"it's.jpg\", 'c.png']\n\nHigh IoU Overlaps:\n"
                     "['a.txt (IoU > 90%)', 'b.txt (IoU > 90%)', 'c.txt (IoU > 90%)']"));
    QCOMPARE(health_report_text({}), QString("🩺 Dataset QA Health Report:\n\nUnannotated Images: 0\n"
                                             "Orphaned Label Files: 0\nOverlapping Polygons/Boxes (Duplicates): 0\n"));
  }

  void health_iou_cases() {
    auto issues_for = [&](const QString& text) {
      QTemporaryDir d;
      test::write_text(d.filePath("p.png"), "x");
      test::write_text(d.filePath("p.txt"), text);
      return static_cast<int>(examine_folder(d.path())->overlap_pairs);
    };
    const QString box = "0 0.1 0.1 0.5 0.1 0.5 0.5 0.1 0.5\n";
    QCOMPARE(issues_for(box + box), 1);
    QCOMPARE(issues_for(box + box + box), 3);
    // IoU exactly 0.9: 0.5625 / 0.625.
    QCOMPARE(issues_for("0 0 0 0.5625 0 0.5625 1\n0 0 0 0.625 0 0.625 1\n"), 0);
    QCOMPARE(issues_for("0 0 0 0.57 0 0.57 1\n0 0 0 0.625 0 0.625 1\n"), 1);
    // Touching along an edge: intersection 0.
    QCOMPARE(issues_for("0 0 0 0.5 0 0.5 1\n0 0.5 0 1 0 1 1\n"), 0);
    // Two shapes without area at one point are no pair; the pairs after them still count.
    QCOMPARE(issues_for("0 0.3 0.3 0.3 0.3 0.3 0.3\n0 0.3 0.3 0.3 0.3 0.3 0.3\n" + box + box), 1);
    // Box lines are boxes: centre and size, never two corners.
    QCOMPARE(issues_for("0 0.5 0.5 0.2 0.2\n0 0.5 0.5 0.2 0.2\n"), 1);
    QCOMPARE(issues_for("0 0.5 0.5 0.2 0.2\n0 0.6 0.55 0.2 0.2\n"), 0);  // IoU 0.23
    QCOMPARE(issues_for("0 0.5 0.5 0.2 0.2\n0 0.5 0.5 0.1 0.1 0.3 0.1 0.3 0.3 0.1 0.3\n"), 0);
    QString grid;  // 400 small boxes that touch nothing
    for (int i = 0; i < 400; ++i)
      grid += QStringLiteral("0 %1 %2 0.01 0.01\n").arg(0.025 + (i % 20) * 0.05).arg(0.025 + (i / 20) * 0.05);
    QCOMPARE(issues_for(grid), 0);
    // Many identical lines are counted, not listed one by one.
    QTemporaryDir many;
    test::write_text(many.filePath("p.png"), "x");
    test::write_text(many.filePath("p.txt"), QString("0 0.5 0.5 0.2 0.2\n").repeated(2000));
    const auto found = examine_folder(many.path());
    QCOMPARE(found->overlap_pairs, qint64(2000) * 1999 / 2);
    QCOMPARE(found->overlap_issues, QStringList({"p.txt (IoU > 90%)"}));
    // A bad token ends the file; short lines are skipped.
    QCOMPARE(issues_for("0 0.1 0.1\n" + box + box + "0 a b c d\n"), 0);
    QCOMPARE(issues_for("0 0.1 0.1\n" + box + box), 1);
  }

  void health_check_boxes_and_cursor() {
    run_health_check(nullptr, "");
    QCOMPARE(prompts_->messages.last().text, QString("Please load a dataset folder first."));
    QCOMPARE(prompts_->messages.last().title, QString("Health Check"));
    test::write_text(path("a.jpg"), "x");
    run_health_check(nullptr, dir_->path());
    QVERIFY(prompts_->messages.last().text.contains("Unannotated Images: 1\n"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    const QString gone = dir_->path();
    dir_.reset();
    run_health_check(nullptr, gone);
    QCOMPARE(prompts_->messages.last().kind, MessageKind::Warning);
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  // Long work runs beside the window: after a moment a busy box offers Cancel, which the work hears;
  // a check cancelled that way reports nothing.
  void long_work_shows_a_box_that_cancels_it() {
    std::atomic<bool> cancel{false};
    bool box_seen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "busy_progress" && w->isVisible()) {
          box_seen = true;
          w->findChild<QPushButton*>()->click();
        }
    });
    poll.start(50);
    QElapsedTimer waited;
    waited.start();
    run_with_busy_dialog(
        nullptr, "Working...",
        [&] {
          while (!cancel && waited.elapsed() < 20000) QThread::msleep(10);
        },
        &cancel);
    QVERIFY(box_seen && cancel);
    QVERIFY(waited.elapsed() < 20000);

    test::write_image(path("a.jpg"), 40, 30);
    const std::atomic<bool> stopped{true};
    const QaFindings none = examine_dataset_quality(dir_->path(), {}, 640, &stopped);
    QVERIFY(none.cancelled && none.sections.isEmpty());
  }

  void analytics_counts_order_and_dialog() {
    QStringList images;
    for (int i = 0; i < 4; ++i) {
      images << path(QStringLiteral("i%1.jpg").arg(i));
      test::write_text(images.last(), "x");
    }
    test::write_text(path("i0.txt"), "2 0 0\n1 0 0\n7 0 0\n-1 0 0\nx 0 0\n\n1.5 0 0\n");
    test::write_text(path("i1.txt"), "0 0 0\n0 0 0\n0 0 0\n2 0 0\n");
    test::write_text(path("i3.txt"), "1 0 0\n");
    const ClassCounts counts = count_class_objects(images, {"car", "bus", "van"});
    QCOMPARE(counts, (ClassCounts{{"van", 2}, {"bus", 2}, {"car", 3}}));
    QCOMPARE(sorted_by_count(counts), (ClassCounts{{"car", 3}, {"van", 2}, {"bus", 2}}));

    QStringList rows;
    QList<int> values;
    int maximum = 0;
    prompts_->dialogs.push_back([&](QDialog& d) -> int {
      for (auto* label : d.findChildren<QLabel*>()) rows << label->text();
      for (auto* bar : d.findChildren<QProgressBar*>()) values << bar->value(), maximum = bar->maximum();
      return QDialog::Rejected;
    });
    show_dataset_analytics(nullptr, images, {"car", "bus", "van"});
    QCOMPARE(prompts_->dialog_titles, QStringList({"Dataset Class Distribution"}));
    QCOMPARE(rows, QStringList({"Current Annotation Totals:", "car (3)", "van (2)", "bus (2)"}));
    QCOMPARE(values, QList<int>({3, 2, 2}));
    QCOMPARE(maximum, 3);

    show_dataset_analytics(nullptr, {}, {"car"});
    QCOMPARE(prompts_->messages.last().text, QString("Load a dataset first."));
    show_dataset_analytics(nullptr, images, {});
    QCOMPARE(prompts_->messages.last().text, QString("No objects annotated yet."));
    QCOMPARE(prompts_->messages.last().title, QString("Analytics"));
  }

  void quality_findings_each_on_a_folder_that_has_exactly_it() {
    // A clean folder: distinct photos, polygons inside 0..1, names for every id.
    const auto photo = [&](const QString& name, int seed, int w = 320, int h = 240) {
      cv::Mat img(h, w, CV_8UC3);
      cv::RNG rng(seed);
      cv::Mat small(6, 8, CV_8UC3);
      rng.fill(small, cv::RNG::UNIFORM, 0, 255);
      cv::resize(small, img, img.size(), 0, 0, cv::INTER_CUBIC);
      cv::imwrite(path(name).toStdString(), img);
    };
    photo("a.jpg", 1);
    photo("b.jpg", 2);
    test::write_text(path("a.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    test::write_text(path("b.txt"), "1 0.2 0.2 0.6 0.2 0.6 0.6\n");
    QaFindings clean = examine_dataset_quality(dir_->path(), {"car", "bus"}, 640);
    QVERIFY2(clean.sections.isEmpty(), qPrintable(qa_report_text(clean)));
    QVERIFY(qa_report_text(clean).contains("No problems the engine would meet were found."));

    // The one section found; a wrong or extra section shows as an empty list and a warning.
    const auto only = [&](const QString& title_start) -> QaSection {
      const QaFindings f = examine_dataset_quality(dir_->path(), {"car", "bus"}, 640);
      QStringList titles;
      for (const QaSection& s : f.sections) titles << s.title;
      if (titles.size() == 1 && titles[0].startsWith(title_start)) return f.sections[0];
      qWarning("expected only \"%s\", found: %s", qPrintable(title_start), qPrintable(titles.join(" | ")));
      return {};
    };
    // Each bad line kind, one per line.
    test::write_text(path("c.txt"),
                     "7 0.1 0.1 0.5 0.1 0.5 0.5\n-1 0.1 0.1 0.5 0.1 0.5 0.5\n0 0.1 0.1 1.5 0.1 0.5 0.5\n"
                     "0 0.1 0.1 0.5\n0 0.1 0.1 0.2 0.2 0.3 0.3\n0 0.2 0.2 0.6 0.2 0.6 0.6\n"
                     "0 0.2 0.2 0.6 0.2 0.6 0.6\n0 x 0.1 0.5 0.1 0.5 0.5\n0 0.1 0.1 0.5 0.1 0.5 0.5 0.2\n");
    photo("c.jpg", 3);
    QaSection bad = only("Label lines the engine would reject");
    QCOMPARE(bad.items,
             QStringList({"c.txt line 1: class id 7 has no name", "c.txt line 2: negative class id",
                          "c.txt line 3: coordinates outside 0..1", "c.txt line 4: a polygon needs at least 3 points",
                          "c.txt line 5: zero-area polygon", "c.txt line 7: duplicate of an earlier line",
                          "c.txt line 8: a token is not a number", "c.txt line 9: an odd number of coordinates"}));
    // Another tool's byte-order mark before the first line.
    QFile bom(path("c.txt"));
    QVERIFY(bom.open(QIODevice::WriteOnly));
    bom.write(
        "\xEF\xBB\xBF"
        "0 0.1 0.1 0.5 0.1 0.5 0.5\r\n");
    bom.close();
    QCOMPARE(only("Label lines the engine would reject").items,
             QStringList({"c.txt line 1: the file starts with a byte-order mark, which the engine cannot read"}));
    QFile::remove(path("c.txt"));
    // Boxes mixed with polygons, one of them tiny at 640.
    test::write_text(path("c.txt"), "0 0.5 0.5 0.001 0.3\n");
    const QaFindings boxes = examine_dataset_quality(dir_->path(), {"car", "bus"}, 640);
    QCOMPARE(boxes.sections.size(), 2);
    QVERIFY(boxes.sections[0].title.startsWith("Box lines and polygon lines mixed"));
    QVERIFY(boxes.sections[1].title.startsWith("Boxes under 2 px at the training size 640"));
    QCOMPARE(boxes.sections[1].items, QStringList({"c.txt line 1: 0.64 x 144 px"}));
    QFile::remove(path("c.txt"));
    // A background, counted apart; a picture under 10 px; an unreadable one.
    test::write_text(path("c.txt"), "");
    QCOMPARE(examine_dataset_quality(dir_->path(), {"car", "bus"}, 640).background, 1);
    photo("d.png", 4, 8, 40);
    QCOMPARE(only("Images the engine cannot use").items, QStringList({"d.png: 8 x 40 px (under 10 px a side)"}));
    QFile::remove(path("d.png"));
    test::write_text(path("d.png"), "not a picture");
    QCOMPARE(only("Images the engine cannot use").items, QStringList({"d.png: cannot be read"}));
    QFile::remove(path("d.png"));
    // A JPEG cut short, and one with data after its end marker (a phone's trailer): the engine
    // re-encodes both in place.
    photo("e.jpg", 6);
    QFile jpeg(path("e.jpg"));
    QVERIFY(jpeg.open(QIODevice::ReadOnly));
    const QByteArray whole = jpeg.readAll();
    jpeg.close();
    const QString rewritten = "JPEG files the engine re-encodes in place";
    QVERIFY(jpeg.open(QIODevice::WriteOnly));
    jpeg.write(whole + "MotionPhoto_Data");
    jpeg.close();
    QCOMPARE(only(rewritten).items, QStringList({"e.jpg: cut short, or other data after the picture"}));
    QVERIFY(jpeg.open(QIODevice::WriteOnly));
    jpeg.write(whole.left(whole.size() * 3 / 4));
    jpeg.close();
    QCOMPARE(only(rewritten).items, QStringList({"e.jpg: cut short, or other data after the picture"}));
    QFile::remove(path("e.jpg"));
    // Two pictures, one label file.
    photo("c.png", 5);
    QCOMPARE(only("Images sharing one label file").items, QStringList({"c.jpg + c.png -> c.txt"}));
    QFile::remove(path("c.png"));
    // An exact copy, and resized and re-encoded copies; a different picture is not grouped.
    QFile::copy(path("a.jpg"), path("a_copy.jpg"));
    QCOMPARE(only("Exact duplicate images").items, QStringList({"a.jpg = a_copy.jpg"}));
    QFile::remove(path("a_copy.jpg"));
    cv::Mat a = cv::imread(path("a.jpg").toStdString()), half;
    cv::resize(a, half, cv::Size(160, 120), 0, 0, cv::INTER_AREA);
    cv::imwrite(path("a_small.png").toStdString(), half);
    cv::imwrite(path("a_q40.jpg").toStdString(), a, {cv::IMWRITE_JPEG_QUALITY, 40});
    QaSection near = only("Near-duplicate images");
    QCOMPARE(near.items, QStringList({"a.jpg ~ a_q40.jpg ~ a_small.png"}));
    // Flat cards have no brightness steps at all: a red and a green one are two pictures, a card and
    // its smaller copy are one.
    for (const char* name : {"a_small.png", "a_q40.jpg"}) QFile::remove(path(name));
    cv::imwrite(path("red.png").toStdString(), cv::Mat(120, 160, CV_8UC3, cv::Scalar(20, 20, 220)));
    cv::imwrite(path("green.png").toStdString(), cv::Mat(120, 160, CV_8UC3, cv::Scalar(20, 200, 20)));
    cv::imwrite(path("red_small.jpg").toStdString(), cv::Mat(60, 80, CV_8UC3, cv::Scalar(20, 20, 220)));
    QCOMPARE(only("Near-duplicate images").items, QStringList({"red.png ~ red_small.jpg"}));
    for (const char* name : {"red.png", "green.png", "red_small.jpg"}) QFile::remove(path(name));
    cv::imwrite(path("a_small.png").toStdString(), half);
    cv::imwrite(path("a_q40.jpg").toStdString(), a, {cv::IMWRITE_JPEG_QUALITY, 40});

    // Through the box: Details lists every finding; a double-click jumps to its image.
    QString jumped;
    prompts_->choices = {0};
    prompts_->dialogs.push_back([](QDialog& dialog) {
      auto* list = dialog.findChild<QListWidget*>("list_findings");
      emit list->itemDoubleClicked(list->item(1));
      return dialog.result();
    });
    run_health_check(nullptr, dir_->path(), {"car", "bus"}, 640, [&](const QString& image) { jumped = image; });
    QVERIFY(prompts_->messages.last().text.contains("Near-duplicate images (resized or re-encoded copies): 1"));
    QVERIFY(prompts_->messages.last().text.startsWith("🩺 Dataset QA Health Report:"));
    QCOMPARE(jumped, path("a.jpg"));
  }

  // A dataset laid out for the engine by another tool: the same picture (or a resized copy) in
  // train and val is found from either split; a folder the manifest does not list is not compared.
  void quality_finds_a_picture_in_another_split() {
    const QDir root(dir_->path());
    for (const char* split : {"images/train", "images/val", "labels/train", "labels/val", "extra"}) root.mkpath(split);
    test::write_text(path("data.yaml"), "path: .\ntrain: images/train\nval: [images/val]\nnames: [car]\n");
    const auto photo = [&](int seed) {
      cv::Mat small(6, 8, CV_8UC3), img;
      cv::RNG(seed).fill(small, cv::RNG::UNIFORM, 0, 255);
      cv::resize(small, img, cv::Size(320, 240), 0, 0, cv::INTER_CUBIC);
      return img;
    };
    for (int i = 0; i < 4; ++i) cv::imwrite(path(QString("images/train/t%1.jpg").arg(i)).toStdString(), photo(i));
    QFile::copy(path("images/train/t1.jpg"), path("images/val/v_copy.jpg"));
    cv::Mat half;
    cv::resize(photo(2), half, cv::Size(160, 120), 0, 0, cv::INTER_AREA);
    cv::imwrite(path("images/val/v_small.jpg").toStdString(), half, {cv::IMWRITE_JPEG_QUALITY, 60});
    cv::imwrite(path("images/val/v_other.jpg").toStdString(), photo(9));
    QFile::copy(path("images/train/t3.jpg"), path("extra/t3.jpg"));

    const auto leak = [&](const QString& folder) {
      for (const QaSection& s : examine_dataset_quality(path(folder), {"car"}, 640).sections)
        if (s.title.startsWith("Images also in another split")) return s.items;
      return QStringList();
    };
    QCOMPARE(leak("images/val"),
             QStringList({"v_copy.jpg = images/train/t1.jpg", "v_small.jpg ~ images/train/t2.jpg"}));
    QCOMPARE(leak("images/train"), QStringList({"t1.jpg = images/val/v_copy.jpg", "t2.jpg ~ images/val/v_small.jpg"}));
    QVERIFY(leak("extra").isEmpty());
  }
};

QTEST_MAIN(TestDataset)
#include "test_dataset.moc"

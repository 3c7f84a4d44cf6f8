#include <sys/wait.h>
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
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/atomic_file.h"
#include "dataset/class_stats.h"
#include "dataset/dataset_actions.h"
#include "dataset/dataset_qa.h"
#include "dataset/health_check.h"
#include "dataset/split_config_dialog.h"
#include "dataset/split_export.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/background_work.h"

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

namespace {
// The step of a write or rename at which a crash test's child process dies.
int g_export_steps_left = 0;
void die_at_export_step(const char*, const QString&) {
  if (--g_export_steps_left == 0) _exit(9);
}

// Every file under `root` by its relative path, with its bytes; hidden entries (an export's
// staging) are not the export's.
QMap<QString, QByteArray> tree(const QString& root) {
  QMap<QString, QByteArray> files;
  QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = it.next();
    files.insert(QDir(root).relativeFilePath(file), test::read_bytes(file));
  }
  return files;
}
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
    QVERIFY(test::settle_window_work());

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
                 "\n\nLabels (Segmentation): 10 polygon(s), 0 box(es), copied as they are"
                 "\nLeft out 2 picture(s) without a label file (not annotated; the engine would train them as "
                 "backgrounds): img10.png, img11.png");
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
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Older Export Found"));
    QVERIFY(QFileInfo::exists(out.filePath("val/images/stale.png")));
    QVERIFY(!QFileInfo::exists(out.filePath("data.yaml")));
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Segmentation"));
    prompts_->directories.push_back(out.path());
    prompts_->choices = {0};  // Replace
    export_and_split_dataset(nullptr, images, {"car"});
    QVERIFY(test::settle_window_work());
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

  // The export and the analytics run beside the window: its timers go on while they work, the
  // busy box shows progress, and Cancel leaves the destination as it was.
  void export_and_analytics_run_beside_the_window() {
    QStringList images;
    for (int i = 0; i < 2500; ++i) {
      const QString image = path(QStringLiteral("p%1.png").arg(i));
      test::write_noise_image(image, 16, 16, 5000 + i);
      test::write_text(path(QStringLiteral("p%1.txt").arg(i)), "0 0.5 0.5 0.2 0.2\n");
      images << image;
    }
    int ticks = 0;
    QPointer<QProgressDialog> box;
    bool box_seen = false;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
      ++ticks;
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "busy_progress" && w->isVisible()) box = qobject_cast<QProgressDialog*>(w);
      box_seen = box_seen || box;
    });
    timer.start(20);
    QElapsedTimer clock;
    clock.start();
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(80, 20, 0, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"car"});
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Export Complete"));
    QCOMPARE(count_files(out.filePath("train/images")) + count_files(out.filePath("val/images")), 2500);
    qInfo("export of 2500 pictures: %lld ms, %d ticks", clock.elapsed(), ticks);
    QVERIFY(ticks >= clock.elapsed() / 20 / 2);  // the window's timer kept its pace

    // Cancelled as soon as the box shows: nothing of the new export is left.
    QTemporaryDir cancelled;
    box_seen = false;
    const QMetaObject::Connection canceller = connect(&timer, &QTimer::timeout, this, [&] {
      if (box && box->findChild<QPushButton*>()) box->findChild<QPushButton*>()->click();
    });
    const qsizetype shown = prompts_->messages.size();
    prompts_->dialogs.push_back(answer_split(80, 20, 0, "Detection"));
    prompts_->directories.push_back(cancelled.path());
    export_and_split_dataset(nullptr, images, {"car"});
    QVERIFY(test::settle_window_work());
    QVERIFY(box_seen);
    QCOMPARE(prompts_->messages.size(), shown);  // no error and no summary for a cancelled export
    QCOMPARE(QDir(cancelled.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    disconnect(canceller);  // the count below is not to be cancelled, however long it takes

    prompts_->dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });
    show_dataset_analytics(nullptr, images, {"car"});
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->dialog_titles.last(), QString("Dataset Class Distribution"));
  }

  void detection_export_converts_boxes_and_warns_on_empty_val() {
    const QStringList images = make_folder(3);
    test::write_text(path("img0.txt"), "1 0.2 0.4 0.6 0.4 0.6 0.8 0.2 0.8\n4 0.5 0.25 0.5 0.25 0.5 0.25\n");
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {});
    QVERIFY(test::settle_window_work());
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
    export_and_split_dataset(nullptr, images, {"a", "b"});
    QVERIFY(test::settle_window_work());
    QCOMPARE(count_files(out.filePath("test/images")), 4);
    QCOMPARE(count_files(out.filePath("train/images")), 0);

    // Nothing loaded: no dialog at all. Cancelled dialog or folder: nothing written.
    prompts_->messages.clear();
    export_and_split_dataset(nullptr, {}, {"a", "b"});
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->dialog_titles.size() == 1 && prompts_->messages.isEmpty());
    prompts_->dialogs.push_back([](QDialog&) { return int(QDialog::Rejected); });
    export_and_split_dataset(nullptr, images, {"a", "b"});
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->asked_titles.size() == 1);
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Detection"));
    export_and_split_dataset(nullptr, images, {"a", "b"});  // no folder chosen
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->messages.isEmpty());

    // No annotated image at all.
    for (int i = 0; i < 4; ++i) QFile::remove(path(QStringLiteral("img%1.txt").arg(i)));
    prompts_->dialogs.push_back(answer_split(70, 20, 10, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"a", "b"});
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("No Annotations"));
    QCOMPARE(prompts_->messages.last().text, QString("No annotated files found to split."));
  }

  void failures_stop_the_export_and_name_the_file() {
    const QStringList images = make_folder(2);
    // A label line the engine cannot read: that picture is left out, as the engine drops it, and named.
    test::write_text(path("img1.txt"), "0 0.1 zero 0.3 0.4\n");
    {
      QTemporaryDir partly;
      prompts_->dialogs.push_back(answer_split(100, 0, 0, "Detection"));
      prompts_->directories.push_back(partly.path());
      export_and_split_dataset(nullptr, images, {"a", "b"});
      QVERIFY(test::settle_window_work());
      QCOMPARE(prompts_->messages.last().title, QString("Export Complete"));
      QVERIFY(prompts_->messages.last().text.contains("train: 1 images"));
      QVERIFY2(prompts_->messages.last().text.contains(
                   "Left out 1 picture(s) the engine cannot use "
                   "(it drops them too): img1.txt: could not convert string to float: 'zero'"),
               qPrintable(prompts_->messages.last().text));
      QVERIFY(!QFileInfo::exists(partly.filePath("train/images/img1.png")));
      prompts_->messages.clear();
    }
    test::write_text(path("img0.txt"), "0 0.1 zero 0.3 0.4\n");
    QTemporaryDir out;
    prompts_->dialogs.push_back(answer_split(100, 0, 0, "Detection"));
    prompts_->directories.push_back(out.path());
    export_and_split_dataset(nullptr, images, {"a", "b"});
    QVERIFY(test::settle_window_work());
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
    export_and_split_dataset(nullptr, images, {"a", "b"});
    QVERIFY(test::settle_window_work());
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
      QVERIFY(test::settle_window_work());
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
      QVERIFY(export_source_conflict(pairs, out.path()).error().contains("hard link"));
      const Expected<ExportResult> result =
          export_dataset(pairs, plan_split(4, 0.5, 0.5), out.path(), LabelFormat::Segmentation, {"car"});
      QVERIFY(!result.ok());
      QCOMPARE(test::read_bytes(images[0]), image0);
    }
    // Into a fresh folder the same export works.
    QTemporaryDir fresh;
    const Expected<ExportResult> ok = export_dataset(collect_annotated_pairs(images), plan_split(4, 0.5, 0.5),
                                                     fresh.path(), LabelFormat::Segmentation, {"car"});
    QVERIFY2(ok.ok(), qPrintable(ok.error()));
    QCOMPARE(count_files(fresh.filePath("train/labels")), 2);
  }

  // An export replacing an earlier one, killed at each write and each rename (in a child process,
  // as a crash); then what the next export sees: the destination wholly the earlier export or
  // wholly the new one, and no staging folder left.
  void an_export_killed_at_any_step_leaves_the_old_or_the_new_export() {
    const QStringList images = make_folder(4);
    QTemporaryDir out;
    const QString dest = out.filePath("export");
    const auto pairs = collect_annotated_pairs(images);
    QVERIFY(export_dataset(pairs, plan_split(4, 0.5, 0.5), dest, LabelFormat::Segmentation, {"a", "b"}).ok());
    const QMap<QString, QByteArray> earlier = tree(dest);
    QVERIFY(earlier.contains("test/labels/img3.txt") || earlier.contains("val/labels/img3.txt"));
    QMap<QString, QByteArray> newer;
    QList<QMap<QString, QByteArray>> after_crashes;
    bool finished = false;
    for (int step = 1; !finished && step < 200; ++step) {
      // The earlier export back in place, as it was.
      QDir(dest).removeRecursively();
      for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
        QDir().mkpath(QFileInfo(QDir(dest).filePath(it.key())).path());
        test::write_bytes(QDir(dest).filePath(it.key()), it.value());
      }
      const pid_t child = fork();
      if (child == 0) {
        g_export_steps_left = step;
        set_atomic_write_hook(&die_at_export_step);
        // No test set this time: the earlier test/ must not survive beside the new sets.
        _exit(export_dataset(pairs, plan_split(4, 1, 0), dest, LabelFormat::Detection, {"a", "b"}, nullptr, true).ok()
                  ? 0
                  : 1);
      }
      int status = 0;
      QCOMPARE(waitpid(child, &status, 0), child);
      QVERIFY(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 9));
      finished = WEXITSTATUS(status) == 0;
      const QString said = recover_interrupted_export(dest);
      QVERIFY(QDir(dest).entryList({".quorlan-export-*"}, QDir::Dirs | QDir::Hidden).isEmpty());
      if (finished) {
        QVERIFY(said.isEmpty());
        newer = tree(dest);
      } else {
        QVERIFY2(!said.isEmpty(), qPrintable(QString::number(step)));
        after_crashes << tree(dest);
      }
    }
    QVERIFY(finished);
    QVERIFY(newer != earlier && !newer.contains("test/labels/img3.txt"));
    for (const auto& crashed : after_crashes) QVERIFY(crashed == earlier || crashed == newer);
    QVERIFY(after_crashes.contains(newer) && after_crashes.contains(earlier));
  }

  void full_disk_keeps_the_old_manifest() {
    test::SmallDisk disk(128);
    if (!disk.ok()) QSKIP("a small tmpfs cannot be mounted here");
    const QStringList images = make_folder(1);
    test::write_text(disk.path() + "/data.yaml", "old manifest\n");
    disk.fill();
    const Expected<ExportResult> result = export_dataset(collect_annotated_pairs(images), plan_split(1, 1, 0),
                                                         disk.path(), LabelFormat::Segmentation, {"a", "b"});
    QVERIFY(!result.ok());
    QVERIFY2(result.error().contains("No space left on device"), qPrintable(result.error()));
    QCOMPARE(test::read_text(disk.path() + "/data.yaml"), QString("old manifest\n"));
    // No half-written copy is left: only whole files (none here), no temporary one.
    QDirIterator it(disk.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString name = QFileInfo(it.next()).fileName();
      QVERIFY2(name == "data.yaml" || name.startsWith(".filler"), qPrintable(name));
    }
  }
};

QTEST_MAIN(TestDataset)
#include "test_dataset.moc"

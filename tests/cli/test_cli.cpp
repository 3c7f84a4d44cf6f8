// The `quorlan` command line, run as a program: its outputs against the studio's own code path,
// --json read back, exit codes, and Ctrl+C by signal.
#include <sys/stat.h>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "core/class_names.h"
#include "core/image_files.h"
#include "dataset/class_counts.h"
#include "dataset/dataset_qa.h"
#include "dataset/health_check.h"
#include "dataset/split_export.h"
#include "imaging/resize_pipeline.h"
#include "imaging/resize_plan.h"
#include "imaging/tile_split.h"
#include "support/fixtures.h"
#include "support/foreign_datasets.h"

using namespace quorlan;

namespace {

struct Run {
  int code = -1;
  QString out;
  QString err;
  QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

Run quorlan_cli(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QUORLAN_CLI, args);
  p.waitForFinished(120000);
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
          QString::fromUtf8(p.readAllStandardError())};
}

// Every file under `root`, relative, sorted.
QStringList tree(const QString& root) {
  QStringList files;
  QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) files << QDir(root).relativeFilePath(it.next());
  files.sort();
  return files;
}

}  // namespace

class TestCli : public QObject {
  Q_OBJECT
  QTemporaryDir dir_;
  QString path(const QString& name) const { return dir_.filePath(name); }

  // The engine double in place of the engine.
  static QProcessEnvironment double_environment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORLAN_PYTHON", "python3");
    env.insert("QUORLAN_ENGINE_SCRIPT", QUORLAN_ENGINE_SCRIPT);
    env.insert("PYTHONPATH", QUORLAN_ENGINE_DOUBLE);
    return env;
  }

  // Twelve distinct pictures with a square each, labelled; classes.txt names it.
  void annotated_folder(const QString& folder) {
    QDir().mkpath(folder);
    for (int i = 0; i < 12; ++i) {
      test::write_noise_image(QDir(folder).filePath(QStringLiteral("shot_%1.png").arg(i)), 64, 48, 100 + i);
      test::write_text(QDir(folder).filePath(QStringLiteral("shot_%1.txt").arg(i)),
                       QStringLiteral("0 0.1 0.1 0.5 0.1 0.5 0.5\n%1 0.6 0.6 0.8 0.6 0.8 0.8\n").arg(i % 2));
    }
    test::write_text(QDir(folder).filePath("classes.txt"), "car\nbike\n");
  }

 private slots:
  void initTestCase() { annotated_folder(path("src")); }

  void usage_help_and_version() {
    QCOMPARE(quorlan_cli({}).code, 2);
    QCOMPARE(quorlan_cli({"frobnicate"}).code, 2);
    const Run version = quorlan_cli({"--version"});
    QCOMPARE(version.code, 0);
    QVERIFY(version.out.startsWith("quorlan "));
    for (const char* command :
         {"export", "health", "stats", "resize", "tile", "augment", "train", "tune", "predict", "export-model"}) {
      const Run help = quorlan_cli({command, "--help"});
      QCOMPARE(help.code, 0);
      QVERIFY2(help.out.startsWith(QStringLiteral("Usage: quorlan %1 [options]").arg(command)), command);
      QVERIFY(help.out.contains("--json"));
    }
    QVERIFY(quorlan_cli({"export", "--help"}).out.contains("70/20/10)"));
  }

  // Bad usage: 2, with the reason and nothing done.
  void bad_usage_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("export without DST") << QStringList{"export", "src"};
    QTest::newRow("split not totalling 100") << QStringList{"export", "a", "b", "--split", "50/40"};
    QTest::newRow("unknown format") << QStringList{"export", "a", "b", "--format", "xml"};
    QTest::newRow("grid not matching the parts") << QStringList{"tile", "a", "b", "--parts", "4", "--grid", "3x3"};
    QTest::newRow("rotation not a quarter") << QStringList{"resize", "a", "b", "--rotate", "45"};
    QTest::newRow("range upside down") << QStringList{"augment", "a", "b", "--rotation", "15:-15"};
    QTest::newRow("size not a number") << QStringList{"health", "a", "--imgsz", "big"};
    QTest::newRow("unknown option") << QStringList{"stats", "--nope", "a"};
    QTest::newRow("segment without a prompt") << QStringList{"segment", "w.pt", "a.png"};
    QTest::newRow("segment point not X,Y") << QStringList{"segment", "w.pt", "a.png", "--point", "3"};
    QTest::newRow("segment label not 0 or 1") << QStringList{"segment", "w.pt", "a.png", "--point", "3,4,7"};
    QTest::newRow("grabcut without a box") << QStringList{"segment", "--method", "grabcut", "a.png", "--point", "3,4"};
  }
  void bad_usage() {
    QFETCH(QStringList, args);
    const Run run = quorlan_cli(args);
    QCOMPARE(run.code, 2);
    QVERIFY(run.err.contains("Run \"quorlan " + args[0] + " --help\""));
    QVERIFY(run.out.isEmpty());
  }

  // A click or a box outlined by the tiny exported pair, and by GrabCut without weights; --save
  // appends the line and keeps what the label file held.
  void segment_outlines_and_saves() {
    const QString data = QStringLiteral(QUORLAN_SEGMENT_DATA);
    const QString picture = data + "/pictures/odd.png";
    const Run click = quorlan_cli({"segment", data + "/tiny-sam", picture, "--point", "250,160", "--json"});
    QCOMPARE(click.code, 0);
    const QJsonObject answer = click.json();
    QVERIFY(answer["polygon"].toArray().size() >= 3);
    const QJsonArray first = answer["polygon_normalised"].toArray()[0].toArray();
    QVERIFY(first[0].toDouble() >= 0 && first[0].toDouble() <= 1);
    QVERIFY(answer.contains("score"));
    // GrabCut: the disc of the picture (centre 258,166, radius 83) inside a loose box.
    test::write_text(path("seg.txt"), "1 0.5 0.5 0.1 0.1");  // no newline at its end
    const Run refined = quorlan_cli({"segment", "--method", "grabcut", picture, "--box", "160,70,360,265", "--save",
                                     path("seg.txt"), "--class", "3", "--as-box", "--json"});
    QCOMPARE(refined.code, 0);
    const QJsonArray box = refined.json()["box"].toArray();
    QVERIFY2(std::abs(box[0].toDouble() - 175) < 8 && std::abs(box[2].toDouble() - 341) < 8,
             qPrintable(QJsonDocument(box).toJson()));
    const QStringList lines = test::read_text(path("seg.txt")).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QString("1 0.5 0.5 0.1 0.1"));
    QVERIFY(lines[1].startsWith("3 ") && lines[1].split(' ').size() == 5);
    // Weights that are no SAM model, and a folder that is no pair, fail clearly.
    const Run wrong = quorlan_cli({"segment", path("nothing.pt"), picture, "--point", "1,1"});
    QCOMPARE(wrong.code, 1);
    QVERIFY2(wrong.err.contains("SAM-family"), qPrintable(wrong.err));
  }

  void export_matches_the_studio() {
    const Run run = quorlan_cli({"export", path("src"), path("cli_export"), "--split", "50/25/25", "--seed", "9"});
    QCOMPARE(run.code, 0);
    // The studio's code path with the same choices.
    const QStringList images = list_folder_images(path("src"));
    const QStringList classes = load_folder_classes(path("src")).names;
    QStringList unlabelled;
    const GroupedSplit split = plan_grouped_split(collect_annotated_pairs(images, false, &unlabelled), 0.5, 0.25, 9);
    // The window's export dialog opens on Detection: so does the command line.
    const Expected<ExportResult> result_exported =
        export_dataset(split.pairs, split.counts, path("studio_export"), LabelFormat::Detection, classes);
    QVERIFY2(result_exported, qPrintable(result_exported.error()));
    ExportResult result = *result_exported;
    result.unlabelled = unlabelled;
    QCOMPARE(run.out.trimmed(), export_summary_text(path("cli_export"), split, result, 9, classes) +
                                    "\nClass names: " + class_source_text(load_folder_classes(path("src"))));
    QCOMPARE(tree(path("cli_export")), tree(path("studio_export")));
    for (const QString& file : tree(path("studio_export")))
      if (file.endsWith(".txt"))
        QCOMPARE(test::read_bytes(path("cli_export/" + file)), test::read_bytes(path("studio_export/" + file)));

    // An earlier export is never mixed into: refused (1) without --replace, replaced with it.
    const Run again = quorlan_cli({"export", path("src"), path("cli_export"), "--json"});
    QCOMPARE(again.code, 1);
    QCOMPARE(again.json()["ok"].toBool(true), false);
    QVERIFY(again.json()["error"].toString().contains("--replace"));
    const Run replaced =
        quorlan_cli({"export", path("src"), path("cli_export"), "--replace", "--format", "det", "--json"});
    QCOMPARE(replaced.code, 0);
    const QJsonObject json = replaced.json();
    QCOMPARE(json["train"].toInt() + json["val"].toInt() + json["test"].toInt(), 12);
    QCOMPARE(json["seed"].toInt(), 42);
    QVERIFY(QFileInfo::exists(json["data_yaml"].toString()));
    // A folder with nothing annotated: the work fails (1).
    QDir().mkpath(path("bare"));
    test::write_image(path("bare/a.png"), 10, 10);
    const Run bare = quorlan_cli({"export", path("bare"), path("bare_out")});
    QCOMPARE(bare.code, 1);
    QVERIFY2(bare.err.trimmed().startsWith("No annotated files found to split: none of the 1 picture(s)"),
             qPrintable(bare.err));
  }

  void health_and_stats_match_the_studio() {
    QDir().mkpath(path("dirty"));
    annotated_folder(path("dirty"));
    test::write_text(path("dirty/orphan.txt"), "0 0.1 0.1 0.2 0.1 0.2 0.2\n");
    test::write_text(path("dirty/shot_3.txt"), "0 0.5 0.5 1.7 0.2 0.3\n");  // a line the engine rejects
    const Run health = quorlan_cli({"health", path("dirty")});
    QCOMPARE(health.code, 0);
    const QString studio = health_report_text(*examine_folder(path("dirty"))) +
                           qa_report_text(examine_dataset_quality(path("dirty"), {"car", "bike"}, 640)) +
                           "\nClass names: " + class_source_text(load_folder_classes(path("dirty")));
    QCOMPARE(health.out.trimmed(), studio.trimmed());
    const Run strict = quorlan_cli({"health", path("dirty"), "--strict", "--json"});
    QCOMPARE(strict.code, 1);
    QCOMPARE(strict.json()["orphaned"].toArray().size(), 1);
    QVERIFY(!strict.json()["sections"].toArray().isEmpty());
    QCOMPARE(quorlan_cli({"health", path("src"), "--strict"}).code, 0);

    // A dataset laid out for the engine, given by its folder or its data.yaml: each split reported,
    // the picture in both splits found from each; a folder with neither pictures nor splits fails.
    for (const char* split : {"set/images/train", "set/images/val", "set/labels/train", "set/labels/val"})
      QDir().mkpath(path(split));
    test::write_text(path("set/data.yaml"), "path: .\ntrain: images/train\nval: images/val\nnames: [car]\n");
    test::write_noise_image(path("set/images/train/a.png"), 64, 48, 1);
    test::write_noise_image(path("set/images/train/b.png"), 64, 48, 2);
    QFile::copy(path("set/images/train/b.png"), path("set/images/val/b_again.png"));
    for (const char* label : {"set/labels/train/a.txt", "set/labels/train/b.txt", "set/labels/val/b_again.txt"})
      test::write_text(path(label), "0 0.5 0.5 0.2 0.2\n");
    for (const QString& source : {path("set"), path("set/data.yaml")}) {
      const Run dataset = quorlan_cli({"health", source, "--json", "--strict"});
      QCOMPARE(dataset.code, 1);
      const QJsonArray splits = dataset.json()["splits"].toArray();
      QCOMPARE(splits.size(), 2);
      QCOMPARE(splits[1].toObject()["folder"].toString(), path("set/images/val"));
      const QJsonObject leak = splits[1].toObject()["sections"].toArray()[0].toObject();
      QCOMPARE(leak["items"].toArray()[0].toString(), QString("b_again.png = images/train/b.png"));
    }
    const Run text = quorlan_cli({"health", path("set")});
    QCOMPARE(text.code, 0);
    // Its "path: ." is the engine's working folder's: run from elsewhere, the report says so first.
    QVERIFY(text.out.startsWith("Note: data.yaml says \"path: .\"."));
    QVERIFY2(text.out.contains("\n== train (images/train) ==\n🩺 Dataset QA Health Report:"), qPrintable(text.out));
    QVERIFY(text.out.contains("\n== val (images/val) ==\n"));
    QDir().mkpath(path("empty"));
    const Run empty = quorlan_cli({"health", path("empty")});
    QCOMPARE(empty.code, 1);
    QVERIFY(empty.err.contains("holds no pictures the engine reads"));

    const Run stats = quorlan_cli({"stats", path("src"), "--json"});
    QCOMPARE(stats.code, 0);
    const ClassCounts counts = sorted_by_count(count_class_objects(list_folder_images(path("src")), {"car", "bike"}));
    const QJsonArray classes = stats.json()["classes"].toArray();
    QCOMPARE(classes.size(), counts.size());
    for (int i = 0; i < counts.size(); ++i) {
      QCOMPARE(classes[i].toObject()["name"].toString(), counts[i].first);
      QCOMPARE(classes[i].toObject()["count"].toInt(), counts[i].second);
    }
    QCOMPARE(quorlan_cli({"stats", path("src")}).out, QString("car: 18\nbike: 6\n"));
  }

  void image_tools_match_the_studio() {
    const Run tile = quorlan_cli({"tile", path("src"), path("cli_tiles"), "--grid", "2x2", "--json"});
    QCOMPARE(tile.code, 0);
    QCOMPARE(tile.json()["tiles"].toInt(), 48);
    LabelCarry carry;
    carry.enabled = true;
    for (const QString& image : list_folder_images(path("src")))
      split_one_image(image, path("studio_tiles"), 2, 2, 4, true, carry);
    // The same files, and the class names in each folder that got labels.
    QStringList studio_files = tree(path("studio_tiles"));
    QSet<QString> labelled_folders;
    for (const QString& file : studio_files)
      if (file.endsWith(".txt")) labelled_folders.insert(QFileInfo(file).path());
    QCOMPARE(labelled_folders.size(), 2);  // the car's and the bike's quarter
    for (const QString& folder : labelled_folders) studio_files << folder + "/classes.txt";
    studio_files.sort();
    QCOMPARE(tree(path("cli_tiles")), studio_files);
    for (const QString& file : tree(path("studio_tiles")))
      QCOMPARE(test::read_bytes(path("cli_tiles/" + file)), test::read_bytes(path("studio_tiles/" + file)));

    const Run resize =
        quorlan_cli({"resize", path("src"), path("cli_resized"), "--width", "32", "--format", "jpeg", "--json"});
    QCOMPARE(resize.code, 0);
    QCOMPARE(resize.json()["written"].toInt(), 12);
    QCOMPARE(resize.json()["labelled"].toInt(), 12);
    const cv::Mat small = cv::imread(path("cli_resized/shot_0_scaled.jpeg").toStdString());
    QCOMPARE(small.cols, 32);
    // Byte for byte what the resizer tab's batch writes with the same fields.
    ResizeSettings settings;
    settings.width_text = "32";
    settings.format = "JPEG";
    settings.write_labels = true;
    QDir().mkpath(path("studio_resized"));
    QCOMPARE(run_resize_batch(list_resizer_folder(path("src"), false), path("studio_resized"), settings).written, 12);
    QCOMPARE(tree(path("cli_resized")), tree(path("studio_resized")));
    for (const QString& file : tree(path("studio_resized")))
      QCOMPARE(test::read_bytes(path("cli_resized/" + file)), test::read_bytes(path("studio_resized/" + file)));
    QCOMPARE(quorlan_cli({"resize", path("src"), path("cli_plain"), "--no-labels", "--no-resize"}).code, 0);
    QVERIFY(QDir(path("cli_plain")).entryList({"*.txt"}).isEmpty());

    const Run augment =
        quorlan_cli({"augment", path("src/shot_1.png"), path("cli_aug"), "--count", "3", "--warp", "0:0", "--json"});
    QCOMPARE(augment.code, 0);
    QCOMPARE(augment.json()["written"].toInt(), 3);
    QCOMPARE(QDir(path("cli_aug")).entryList({"shot_1_warped_enriched_*_var_*.jpg"}).size(), 3);
    QCOMPARE(QDir(path("cli_aug")).entryList({"shot_1_warped_enriched_*_var_*.txt"}).size(), 3);
    // A picture that cannot be read fails the work (1) and is named.
    test::write_text(path("broken.png"), "not a picture");
    const Run broken = quorlan_cli({"augment", path("broken.png"), path("cli_aug2")});
    QCOMPARE(broken.code, 1);
    QVERIFY(broken.err.contains("broken.png"));
  }

  void engine_commands_through_the_double() {
    if (!test::slow_tests_enabled()) QSKIP("slow: runs in its own entry (ctest -L slow)");
    QProcessEnvironment env = double_environment();
    // Train: the run's folder and metrics come back; a missing manifest is a failed step (1).
    QCOMPARE(quorlan_cli({"export", path("src"), path("ds"), "--split", "50/50/0"}).code, 0);
    const Run train = quorlan_cli({"train", path("ds/data.yaml"), "--model", "yolov8n.pt", "--epochs", "2", "--device",
                                   "cpu", "--project", path("runs"), "--name", "cli", "--json"},
                                  env);
    QVERIFY2(train.code == 0, qPrintable(train.out + train.err.right(2000)));
    QCOMPARE(train.json()["save_dir"].toString(), path("runs/cli"));
    QVERIFY(QFileInfo::exists(train.json()["best"].toString()));
    QVERIFY(train.err.contains("train: 2/2 epochs"));  // one progress line an epoch, off a terminal
    const Run missing = quorlan_cli({"train", path("nothing.yaml")}, env);
    QCOMPARE(missing.code, 1);
    QCOMPARE(missing.err.trimmed(), "YAML file path does not exist:\n" + path("nothing.yaml"));
    // A JPEG of the dataset the engine would re-encode in place: refused and named, unless allowed.
    const QString victim = "phone.jpg";
    test::write_image(path("ds/train/images/" + victim), 40, 30);
    QFile trailer(path("ds/train/images/" + victim));
    QVERIFY(trailer.open(QIODevice::Append));
    trailer.write("MotionPhoto_Data");
    trailer.close();
    for (const char* command : {"train", "tune"}) {
      const Run refused = quorlan_cli({command, path("ds/data.yaml")}, env);
      QCOMPARE(refused.code, 1);
      QVERIFY(refused.err.contains(victim) && refused.err.contains("--allow-rewrite"));
    }
    const Run allowed = quorlan_cli({"train", path("ds/data.yaml"), "--epochs", "1", "--device", "cpu", "--project",
                                     path("runs"), "--name", "allowed", "--allow-rewrite"},
                                    env);
    QVERIFY2(allowed.code == 0, qPrintable(allowed.err.right(2000)));
    QFile::remove(path("ds/train/images/" + victim));

    // Predict: boxes per picture, and with --save the drawn picture and its label file.
    test::write_text(path("boxes.pt"), R"({"names": {"0": "person", "1": "car"},
        "detections": [{"cls": 0, "conf": 0.9, "xyxy": [8, 4, 40, 36]}, {"cls": 1, "conf": 0.3, "xyxy": [0, 0, 10, 10]}]})");
    const Run predict =
        quorlan_cli({"predict", path("boxes.pt"), path("src"), "--conf", "0.5", "--save", path("pred"), "--json"}, env);
    QVERIFY2(predict.code == 0, qPrintable(predict.out + predict.err.right(2000)));
    const QJsonArray results = predict.json()["results"].toArray();
    QCOMPARE(results.size(), 12);
    QCOMPARE(results[0].toObject()["boxes"].toArray().size(), 1);
    QCOMPARE(results[0].toObject()["boxes"].toArray()[0].toObject()["name"].toString(), QString("person"));
    QCOMPARE(test::read_text(path("pred/shot_0.txt")), QString("0 0.375000 0.416667 0.500000 0.666667\n"));
    QVERIFY(!cv::imread(path("pred/shot_0.jpg").toStdString()).empty());
    // Each object carries its confidence; --save-conf writes it after the box, as the engine does.
    QCOMPARE(results[0].toObject()["boxes"].toArray()[0].toObject()["conf"].toDouble(), 0.9);
    const Run with_conf = quorlan_cli({"predict", path("boxes.pt"), path("src/shot_0.png"), "--conf", "0.2", "--save",
                                       path("pred_conf"), "--save-conf"},
                                      env);
    QVERIFY2(with_conf.code == 0, qPrintable(with_conf.err.right(2000)));
    QCOMPARE(test::read_text(path("pred_conf/shot_0.txt")),
             QString("0 0.375000 0.416667 0.500000 0.666667 0.9\n1 0.078125 0.104167 0.156250 0.208333 0.3\n"));
    QVERIFY(with_conf.out.contains("person 0.90, car 0.30"));
    QCOMPARE(quorlan_cli({"predict", path("boxes.pt"), path("src"), "--save-conf"}, env).code, 2);

    // Track: a model's detections followed by overlap; the car it sees is not the box asked about.
    QDir().mkpath(path("cam"));
    for (int i = 0; i < 5; ++i)
      test::write_image(path(QStringLiteral("cam/cam_%1.png").arg(i, 6, 10, QChar('0'))), 48, 40);
    const Run followed = quorlan_cli({"track", path("cam"), "--from", "0", "--box", "9,5,41,35", "--class", "0",
                                      "--model", path("boxes.pt"), "--json"},
                                     env);
    QVERIFY2(followed.code == 0, qPrintable(followed.out + followed.err.right(2000)));
    QCOMPARE(followed.json()["boxes"].toInt(), 5);
    QCOMPARE(followed.json()["stop"].toString(), QString("Reached the last frame."));
    QCOMPARE(test::read_text(path("cam/cam_000003.txt")), QString("0 0.500000 0.500000 0.666667 0.800000\n"));
    const Run lost = quorlan_cli({"track", path("cam"), "--from", "0", "--box", "20,20,47,39", "--class", "1",
                                  "--model", path("boxes.pt"), "--conf", "0.2", "--json"},
                                 env);
    QVERIFY2(lost.code == 0, qPrintable(lost.err.right(2000)));
    QCOMPARE(lost.json()["stop"].toString(), QString("The model lost the object at frame 1."));

    // Review: every picture predicted and its labels held against the prediction, worst first. Each
    // picture's second label has nothing under it, its first is a loose box, and the unsure car
    // is an object nobody labelled.
    const Run review = quorlan_cli({"review", path("src"), "--model", path("boxes.pt"), "--json"}, env);
    QVERIFY2(review.code == 0, qPrintable(review.out + review.err.right(2000)));
    const QJsonObject reviewed = review.json();
    QCOMPARE(reviewed["pictures"].toInt(), 12);
    QCOMPARE(reviewed["labels"].toInt(), 24);
    const QJsonArray findings = reviewed["findings"].toArray();
    QCOMPARE(findings.size(), 36);
    const QJsonObject worst = findings[0].toObject();
    QCOMPARE(worst["kind"].toString(), QString("label on nothing"));
    QVERIFY(worst["score"].toDouble() > 0.95);  // the person box grazes it
    QCOMPARE(worst["image"].toString(), path("src/shot_0.png"));
    QCOMPARE(worst["label"].toObject()["row"].toInt(), 1);
    QCOMPARE(findings[12].toObject()["kind"].toString(), QString("loose box"));
    QCOMPARE(findings[12].toObject()["prediction"].toObject()["name"].toString(), QString("person"));
    QCOMPARE(findings[35].toObject()["kind"].toString(), QString("missing object"));
    QVERIFY(reviewed["trained_on_these_pictures"].toString().isEmpty());
    // A cross-check: a model trained on each half (copies in the work folder) reviews the other
    // half; the reviewed folder gains no file.
    const QStringList before = tree(path("src"));
    const Run crossed = quorlan_cli({"review", path("src"), "--cross-check", "--model", "yolov8n.pt", "--epochs", "1",
                                     "--work", path("xcheck"), "--json"},
                                    env);
    QVERIFY2(crossed.code == 0, qPrintable(crossed.out + crossed.err.right(2000)));
    QCOMPARE(crossed.json()["pictures"].toInt(), 12);
    QVERIFY(crossed.json()["runtime"].toString().startsWith("cross-check"));
    QCOMPARE(QDir(path("xcheck/half_a/images")).entryList(QDir::Files).size(), 6);
    QVERIFY(QFileInfo::exists(path("xcheck/runs/model_b/weights/best.pt")));
    QCOMPARE(tree(path("src")), before);
    QCOMPARE(quorlan_cli({"review", path("src")}, env).code, 2);  // no model named
    QCOMPARE(quorlan_cli({"review", path("nothing"), "--model", path("boxes.pt")}, env).code, 1);

    // Tune: as many trials as asked, each a run inside the tuning folder the command names.
    const Run tuned = quorlan_cli({"tune", path("ds/data.yaml"), "--model", "yolov8n.yaml", "--epochs", "1",
                                   "--iterations", "2", "--project", path("tuning"), "--name", "search", "--json"},
                                  env);
    QVERIFY2(tuned.code == 0, qPrintable(tuned.err.right(2000)));
    QCOMPARE(tuned.json()["save_dir"].toString(), path("tuning/search"));
    QCOMPARE(QDir(path("tuning/search")).entryList({"train*"}, QDir::Dirs).size(), 2);
    QVERIFY(QFileInfo::exists(path("tuning/search/tune/best_hyperparameters.yaml")));
    QCOMPARE(QDir(path("tuning")).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"search"});

    // Export a model; a format the engine refuses is a failed step.
    const Run exported = quorlan_cli({"export-model", path("boxes.pt"), "--format", "onnx", "--json"}, env);
    QCOMPARE(exported.code, 0);
    QVERIFY(QFileInfo::exists(exported.json()["path"].toString()));
    QCOMPARE(quorlan_cli({"export-model", path("boxes.pt"), "--format", "nonsense"}, env).code, 1);
  }

  // An exported model runs with no engine at all: JSON with confidences, saved labels with
  // them, and the runtime named.
  void predict_runs_an_exported_model_without_the_engine() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORLAN_PYTHON", path("no-python-here"));
    const QString data = QStringLiteral(QUORLAN_NATIVE_DATA);
    const Run run = quorlan_cli({"predict", data + "/tiny-detect.onnx", data + "/pictures", "--conf", "0.05", "--json",
                                 "--save", path("predicted"), "--save-conf"},
                                env);
    QVERIFY2(run.code == 0, qPrintable(run.out + run.err));
    QVERIFY(run.err.contains("Runs on: OpenVINO"));
    const QJsonObject json = run.json();
    QVERIFY(json["runtime"].toString().startsWith("OpenVINO"));
    const QJsonArray results = json["results"].toArray();
    QCOMPARE(results.size(), 4);
    int objects = 0;
    for (const QJsonValue& r : results) {
      const QString stem = QFileInfo(r.toObject()["image"].toString()).completeBaseName();
      const QJsonArray boxes = r.toObject()["boxes"].toArray();
      const QStringList lines = test::read_text(path("predicted/" + stem + ".txt")).split('\n', Qt::SkipEmptyParts);
      QCOMPARE(lines.size(), boxes.size());
      for (int i = 0; i < boxes.size(); ++i) {
        const QJsonObject b = boxes[i].toObject();
        QVERIFY(b["name"].toString() == "square" || b["name"].toString() == "disc");
        QVERIFY(b["conf"].toDouble() >= 0.05 && b["conf"].toDouble() <= 1);
        QCOMPARE(b["xyxy"].toArray().size(), 4);
        const QStringList tokens = lines[i].split(' ');
        QCOMPARE(tokens.size(), 6);  // class, box, confidence
        QVERIFY(std::abs(tokens[5].toDouble() - b["conf"].toDouble()) < 1e-5);
      }
      QVERIFY(QFileInfo::exists(path("predicted/" + stem + ".jpg")));
      objects += boxes.size();
    }
    QVERIFY(objects > 0);
    test::write_text(path("broken.onnx"), "not a model");
    const Run broken = quorlan_cli({"predict", path("broken.onnx"), data + "/pictures"}, env);
    QCOMPARE(broken.code, 1);
    QVERIFY2(broken.err.contains("broken.onnx is not an ONNX model"), qPrintable(broken.err));
    // A model giving junk rows: one sound box saved, the junk counted, never NaN in a label file.
    QDir().mkpath(path("one"));
    test::write_image(path("one/p.png"), 64, 64);
    const Run junk = quorlan_cli(
        {"predict", data + "/odd/e2e-junk.onnx", path("one"), "--json", "--save", path("junk-labels")}, env);
    QVERIFY2(junk.code == 0, qPrintable(junk.err));
    const QJsonObject only = junk.json()["results"].toArray()[0].toObject();
    QCOMPARE(only["boxes"].toArray().size(), 1);
    QCOMPARE(only["dropped"].toInt(), 5);
    QVERIFY(std::abs(only["boxes"].toArray()[0].toObject()["conf"].toDouble() - 0.9) < 1e-6);
    QCOMPARE(test::read_text(path("junk-labels/p.txt")).count('\n'), 1);
    QVERIFY(!test::read_text(path("junk-labels/p.txt")).contains("nan"));
    const Run narrow = quorlan_cli({"predict", data + "/odd/e2e-narrow.onnx", path("one")}, env);
    QCOMPARE(narrow.code, 1);
    QVERIFY2(narrow.err.contains("2 values wide"), qPrintable(narrow.err));
    // A pipe named like a model is refused at once, and a folder named like one says what it is.
    QCOMPARE(::mkfifo(QFile::encodeName(path("pipe.onnx")).constData(), 0600), 0);
    const Run pipe = quorlan_cli({"predict", path("pipe.onnx"), path("one")}, env);
    QCOMPARE(pipe.code, 1);
    QVERIFY2(pipe.err.contains("is not a file (a folder, pipe, socket or device)"), qPrintable(pipe.err));
    QDir().mkpath(path("folder.onnx"));
    const Run folder = quorlan_cli({"predict", path("folder.onnx"), path("one")}, env);
    QVERIFY2(folder.code == 1 && folder.err.contains("is a folder holding no OpenVINO model"), qPrintable(folder.err));
    // A file no frontend takes: one clear line, not another framework's parser talking.
    test::write_text(path("garbage.xml"), "garbage, not a model");
    const Run garbage = quorlan_cli({"predict", path("garbage.xml"), path("one")}, env);
    QVERIFY2(garbage.code == 1 && garbage.err.contains("garbage.xml could not be loaded as a model") &&
                 !garbage.err.contains("tensorflow"),
             qPrintable(garbage.err));
  }

  void foreign_layouts_on_the_command_line() {
    const QVector<test::ForeignDataset> sets = test::write_foreign_datasets(path("foreign"));
    // export takes what health takes: a folder, a data.yaml, a dataset's top folder.
    for (const test::ForeignDataset& s : sets) {
      const Run run = quorlan_cli({"export", s.source, path("fx/" + s.name), "--backgrounds", "--json"});
      QVERIFY2(run.code == 0, qPrintable(s.name + ": " + run.err));
      QVERIFY2(!run.json()["class_names_from"].toString().startsWith("no class names"), qPrintable(s.name));
    }
    QVERIFY(test::read_text(path("fx/cvat/data.yaml")).endsWith("names:\n  0: car\n  1: person\n  2: bike\n"));
    const Run missing = quorlan_cli({"export", path("foreign/nowhere/data.yaml"), path("fx/none")});
    QCOMPARE(missing.code, 1);
    QVERIFY2(missing.err.contains("does not exist"), qPrintable(missing.err));
    // The health check says where the engine looks for labels kept beside pictures in images/.
    const Run beside = quorlan_cli({"health", path("foreign/beside/images")});
    QVERIFY2(beside.out.contains("Labels beside pictures inside a folder named images/: the engine looks in ../labels/ "
                                 "instead and trains these pictures as backgrounds (move the label files there): 5"),
             qPrintable(beside.out));
    // A split whose pictures sit in subfolders is tiled through them, each subfolder kept.
    const Run tile = quorlan_cli({"tile", path("foreign/subfolders/images/train"), path("tiles_sub"), "--parts", "2",
                                  "--grid", "1x2", "--json"});
    QVERIFY2(tile.code == 0, qPrintable(tile.err));
    QCOMPARE(tile.json()["tiles"].toInt(), 8);
    QVERIFY(QFileInfo::exists(path("tiles_sub/cam2/part_1/pic_032_part_1.jpg")));
    QCOMPARE(tile.json()["labelled_tiles"].toInt(), 8);
    // Class ids written "0.0" are carried as the classes they are.
    const Run floats = quorlan_cli({"tile", path("foreign/float_ids"), path("tiles_float"), "--parts", "1", "--json"});
    QVERIFY2(floats.code == 0, qPrintable(floats.err));
    QVERIFY(test::read_text(path("tiles_float/part_1/pic_001_part_1.txt")).startsWith("0 "));
    // Pictures whose colour profile libpng warns about keep the terminal quiet.
    for (int i = 0; i < 3; ++i)
      test::write_png_with_bad_profile(path(QStringLiteral("profiles/p%1.png").arg(i)), 32, 32);
    const Run quiet = quorlan_cli({"health", path("profiles")});
    QVERIFY(QImage(path("profiles/p0.png")).width() == 32);
    QVERIFY2(!quiet.err.contains("iCCP"), qPrintable(quiet.err));
    // A JPEG cut short is named the same way by the tiler and the resizer.
    QDir().mkpath(path("cut"));
    QVERIFY(QFile::copy(path("foreign/malformed/cut.jpg"), path("cut/cut.jpg")));
    const Run cut_tile = quorlan_cli({"tile", path("cut"), path("cut_tiles"), "--parts", "1"});
    const Run cut_resize = quorlan_cli({"resize", path("cut/cut.jpg"), path("cut_resized")});
    QCOMPARE(cut_tile.code, 1);
    QCOMPARE(cut_resize.code, 1);
    QVERIFY2(cut_tile.err.contains("image file is truncated"), qPrintable(cut_tile.err));
    QVERIFY2(cut_resize.err.contains("image file is truncated"), qPrintable(cut_resize.err));
    // A folder whose only picture's name is not UTF-8: the refusal names what it skipped.
    QDir().mkpath(path("latin1"));
    const QByteArray raw = QFile::encodeName(path("latin1/")) + "\xff" + "bad.png";
    QVERIFY(QImage(8, 8, QImage::Format_RGB32).save(path("latin1/tmp.png")));
    QCOMPARE(::rename(QFile::encodeName(path("latin1/tmp.png")).constData(), raw.constData()), 0);
    const Run latin1 = quorlan_cli({"export", path("latin1"), path("latin1_out")});
    QCOMPARE(latin1.code, 1);
    QVERIFY2(latin1.err.contains("bad.png: its name is not valid UTF-8"), qPrintable(latin1.err));
    ::rename(raw.constData(), QFile::encodeName(path("latin1/tmp.png")).constData());  // a name Qt can remove
  }

  void datasets_other_tools_wrote_are_read_as_the_engine_reads_them() {
    // Roboflow's "../train/images" with a valid/ folder; a stray names file two folders up.
    test::write_stray_names_yaml(path("home"));
    test::write_roboflow_box_dataset(path("home/downloads/rf"), 3, {64, 48});
    const Run health = quorlan_cli({"health", path("home/downloads/rf/data.yaml"), "--json"});
    QCOMPARE(health.code, 0);
    const QJsonArray splits = health.json()["splits"].toArray();
    QCOMPARE(splits.size(), 2);
    QVERIFY(splits[1].toObject()["folder"].toString().endsWith("rf/valid/images"));
    const Run stats = quorlan_cli({"stats", path("home/downloads/rf/data.yaml"), "--json"});
    QCOMPARE(stats.code, 0);
    QCOMPARE(stats.json()["images"].toInt(), 6);
    QStringList names;
    for (const QJsonValue c : stats.json()["classes"].toArray()) names << c.toObject()["name"].toString();
    names.sort();
    QCOMPARE(names, QStringList({"bike", "car", "person"}));
    // The stray file names nothing: a folder of its own without classes.txt has no class names.
    QDir().mkpath(path("home/downloads/loose"));
    test::write_image(path("home/downloads/loose/a.png"), 20, 20);
    test::write_text(path("home/downloads/loose/a.txt"), "1 0.5 0.5 0.2 0.2\n");
    const Run loose = quorlan_cli({"stats", path("home/downloads/loose"), "--json"});
    QVERIFY2(!loose.out.contains("bob"), qPrintable(loose.out));
    // Its objects are counted by class id.
    QCOMPARE(loose.json()["classes"].toArray().size(), 1);
    QCOMPARE(loose.json()["classes"].toArray()[0].toObject()["name"].toString(), QString("1"));

    // A list-file dataset with "path: .": checked, and the engine's working-folder rule said.
    test::write_list_file_dataset(path("lists"), 2, {64, 48});
    const Run listed = quorlan_cli({"health", path("lists/data.yaml"), "--json"});
    QCOMPARE(listed.code, 0);
    // Each list is a split of its own, though both name pictures of images/.
    QCOMPARE(listed.json()["splits"].toArray().size(), 2);
    QVERIFY(listed.json()["path_note"].toString().contains("path: ."));
  }

  void failures_are_failures_and_json_is_only_json() {
    // tile: a picture or a label file that cannot be read fails the work (1).
    QDir().mkpath(path("tile_bad"));
    test::write_noise_image(path("tile_bad/a.png"), 40, 30, 1);
    test::write_text(path("tile_bad/b.png"), "not a picture");
    QCOMPARE(quorlan_cli({"tile", path("tile_bad"), path("tile_bad_out"), "--grid", "1x2", "--parts", "2"}).code, 1);
    QFile::remove(path("tile_bad/b.png"));
    QDir().mkpath(path("tile_bad/a.txt"));  // a folder where the label file should be
    const Run labels = quorlan_cli({"tile", path("tile_bad"), path("tile_bad_out2"), "--grid", "1x2", "--parts", "2"});
    QCOMPARE(labels.code, 1);
    // resize --json: standard output is one JSON object, also when a picture fails.
    QDir().mkpath(path("resize_bad"));
    test::write_noise_image(path("resize_bad/a.png"), 40, 30, 1);
    test::write_text(path("resize_bad/b.png"), "not a picture");
    const Run resized = quorlan_cli({"resize", path("resize_bad"), path("resize_bad_out"), "--width", "20", "--json"});
    QCOMPARE(resized.code, 1);
    QJsonParseError error;
    QJsonDocument::fromJson(resized.out.toUtf8(), &error);
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(resized.out));
    QCOMPARE(resized.json()["written"].toInt(), 1);
  }

  void a_name_that_is_not_utf8_is_named_by_every_tool() {
    // A Latin-1 "café.jpg" from an old camera: no tool can open it by name, none skips it silently.
    QDir().mkpath(path("latin"));
    test::write_noise_image(path("latin/ok.jpg"), 40, 30, 1);
    test::write_text(path("latin/ok.txt"), "0 0.5 0.5 0.2 0.2\n");
    test::write_text(path("latin/classes.txt"), "car\n");
    const std::string raw = QFile::encodeName(path("latin")).toStdString() + "/caf\xe9.jpg";
    QVERIFY(QFile::copy(path("latin/ok.jpg"), path("latin/tmp.jpg")));
    QVERIFY(::rename(QFile::encodeName(path("latin/tmp.jpg")).constData(), raw.c_str()) == 0);
    const QString note = QString::fromUtf8("café.jpg: its name is not valid UTF-8");
    const Run health = quorlan_cli({"health", path("latin")});
    QVERIFY2(health.out.contains(note), qPrintable(health.out));
    const Run tiles = quorlan_cli({"tile", path("latin"), path("latin_tiles"), "--grid", "1x2", "--parts", "2"});
    QCOMPARE(tiles.code, 1);
    QVERIFY((tiles.out + tiles.err).contains(note));
    const Run resized = quorlan_cli({"resize", path("latin"), path("latin_resized"), "--width", "20"});
    QCOMPARE(resized.code, 1);
    QVERIFY((resized.out + resized.err).contains(note));
    const Run exported = quorlan_cli({"export", path("latin"), path("latin_export"), "--split", "100/0/0"});
    QCOMPARE(exported.code, 0);
    QVERIFY2(exported.out.contains(note), qPrintable(exported.out));
  }

  void a_full_disk_is_named_by_every_tool() {
    test::SmallDisk disk(64);
    if (!disk.ok()) QSKIP("a small file system cannot be mounted here");
    disk.fill();
    QDir().mkpath(path("few"));
    for (int i = 0; i < 2; ++i) test::write_noise_image(path(QStringLiteral("few/f%1.png").arg(i)), 200, 150, i);
    for (const QStringList& command :
         {QStringList{"resize", path("few"), disk.path() + "/r", "--width", "100"},
          QStringList{"tile", path("few"), disk.path() + "/t", "--grid", "1x2", "--parts", "2"},
          QStringList{"augment", path("few"), disk.path() + "/a", "--count", "1"}}) {
      const Run run = quorlan_cli(command);
      QCOMPARE(run.code, 1);
      QVERIFY2((run.out + run.err).contains("No space left on device"),
               qPrintable(command[0] + ": " + run.out + run.err));
    }
  }

  void kill_9_never_leaves_a_cut_off_picture_under_its_name() {
    QDir().mkpath(path("killed"));
    for (int i = 0; i < 12; ++i) test::write_noise_image(path(QStringLiteral("killed/k%1.png").arg(i)), 1200, 900, i);
    QRandomGenerator random(7);
    for (const QStringList& command :
         {QStringList{"tile", path("killed"), path("killed_tiles"), "--grid", "4x4", "--parts", "16"},
          QStringList{"augment", path("killed"), path("killed_variants"), "--count", "6"}}) {
      for (int round = 0; round < 6; ++round) {
        QProcess p;
        p.start(QUORLAN_CLI, command);
        QVERIFY(p.waitForStarted());
        QThread::msleep(150 + random.bounded(600));
        ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
        p.waitForFinished(10000);
      }
      // Whatever carries a picture's name decodes whole; only hidden temporary files may be cut.
      const QString out = command[2];
      for (const QString& file : tree(out)) {
        if (QFileInfo(file).fileName().startsWith('.')) continue;
        if (!file.endsWith(".png") && !file.endsWith(".jpg")) continue;
        const QByteArray bytes = test::read_bytes(QDir(out).filePath(file));
        const bool whole = file.endsWith(".png") ? bytes.endsWith(QByteArray::fromHex("49454e44ae426082"))
                                                 : bytes.endsWith(QByteArray::fromHex("ffd9"));
        QVERIFY2(whole, qPrintable(file));
      }
    }
  }

  void tiles_keep_transparency() {
    QDir().mkpath(path("alpha"));
    QImage clear(64, 48, QImage::Format_ARGB32);
    clear.fill(QColor(200, 30, 30, 90));
    QVERIFY(clear.save(path("alpha/a.png")));
    QCOMPARE(quorlan_cli({"tile", path("alpha"), path("alpha_tiles"), "--grid", "1x2", "--parts", "2"}).code, 0);
    const QImage tile(path("alpha_tiles/part_1/a_part_1.png"));
    QVERIFY2(tile.hasAlphaChannel(), qPrintable(tree(path("alpha_tiles")).join(", ")));
    QCOMPARE(qAlpha(tile.pixel(3, 3)), 90);
  }

  void ctrl_c_stops_a_batch_between_whole_files() {
    QDir().mkpath(path("many"));
    for (int i = 0; i < 40; ++i) test::write_noise_image(path(QStringLiteral("many/p%1.png").arg(i)), 1600, 1200, i);
    QProcess p;
    p.start(QUORLAN_CLI, {"tile", path("many"), path("many_tiles"), "--grid", "4x4", "--parts", "16", "--json"});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path("many_tiles/part_01")), 20000);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 130);
    const QJsonObject json = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    QVERIFY(json["tiles"].toInt() < 640);
    // Every tile written is whole: it decodes; no temporary file is left.
    for (const QString& file : tree(path("many_tiles"))) {
      QVERIFY2(file.endsWith(".png"), qPrintable(file));
      QVERIFY2(!cv::imread(path("many_tiles/" + file).toStdString()).empty(), qPrintable(file));
    }
  }

  void ctrl_c_ends_an_engine_run_and_its_processes() {
    if (!test::slow_tests_enabled()) QSKIP("slow: runs in its own entry (ctest -L slow)");
    // A copy of the host script of its own: its processes are found by path.
    const QString script = path("engine/quorlan_engine.py");
    QDir().mkpath(path("engine"));
    QVERIFY(QFile::copy(QUORLAN_ENGINE_SCRIPT, script));
    QProcessEnvironment env = double_environment();
    env.insert("QUORLAN_ENGINE_SCRIPT", script);
    test::write_text(path("data.yaml"), "path: .\ntrain: images\nval: images\nnames: [a]\n");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QUORLAN_CLI, {"tune", path("data.yaml"), "--model", "slowtune.yaml", "--epochs", "3", "--project",
                          path("runs"), "--name", "t"});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path("runs/t/tune/child.pid")), 30000);
    const qint64 child = test::read_text(path("runs/t/tune/child.pid")).trimmed().toLongLong();
    QVERIFY(child > 0);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 130);
    // No host and no child of it is left.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(child)), 10000);
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
      bool number = false;
      pid.toInt(&number);
      if (!number) continue;
      QFile cmdline("/proc/" + pid + "/cmdline");
      if (cmdline.open(QIODevice::ReadOnly)) QVERIFY2(!cmdline.readAll().contains(script.toUtf8()), qPrintable(pid));
    }
  }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"

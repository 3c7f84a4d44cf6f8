// The dataset checks: the health report, the quality findings and the analytics.
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
#include "support/window_work.h"
#include "widgets/background_work.h"

using namespace quorlan;

class TestDatasetChecks : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

  QString path(const QString& name) const { return dir_->filePath(name); }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
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
                     "['a.txt (IoU > 90%)', 'b.txt (IoU > 90%)', 'c.txt (IoU > 90%)']"
                     "\n\nOrphaned Label Files (Sample):\n['x.txt']"));
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
    test::write_text(many.filePath("p.txt"), QString("0 0.5 0.5 0.2 0.2\n").repeated(20000));
    const auto found = examine_folder(many.path());
    QCOMPARE(found->overlap_pairs, qint64(20000) * 19999 / 2);
    QCOMPARE(found->overlap_issues, QStringList({"p.txt (IoU > 90%)"}));  // one entry, however many pairs
    QVERIFY(health_report_text(*found).size() < 400);
    const QaFindings quality = examine_dataset_quality(many.path(), {"car"}, 640);
    for (const QaSection& s : quality.sections) QVERIFY2(s.items.size() < 20001, qPrintable(s.title));
    // A bad token ends the file; short lines are skipped.
    QCOMPARE(issues_for("0 0.1 0.1\n" + box + box + "0 a b c d\n"), 0);
    QCOMPARE(issues_for("0 0.1 0.1\n" + box + box), 1);
  }

  void health_check_boxes_and_cursor() {
    run_health_check(nullptr, "");
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().text, QString("Please load a dataset folder first."));
    QCOMPARE(prompts_->messages.last().title, QString("Health Check"));
    test::write_text(path("a.jpg"), "x");
    run_health_check(nullptr, dir_->path());
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->messages.last().text.contains("Unannotated Images: 1\n"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    const QString gone = dir_->path();
    dir_.reset();
    run_health_check(nullptr, gone);
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().kind, MessageKind::Warning);
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  // Long work runs beside the window: after a moment a busy box offers Cancel, which the work hears;
  // a check cancelled that way reports nothing.
  void long_work_shows_a_box_that_cancels_it() {
    auto control = std::make_shared<WorkControl>();
    const std::atomic<bool>& cancel = control->cancel;
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
    bool continued = false;
    run_beside_window(
        nullptr, "Working...", control,
        [&] {
          while (!cancel && waited.elapsed() < 20000) QThread::msleep(10);
        },
        [&] { continued = true; });
    QVERIFY(!continued);  // the call returned at once
    QVERIFY(test::settle_window_work(30000));
    QVERIFY(box_seen && cancel && continued);
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
    test::write_text(path("i0.txt"), "2 0.5 0.5 0.1 0.1\n\n1 0.5 0.5 0.2 0.2\n");
    // A duplicate row is removed, as the engine removes it.
    test::write_text(path("i1.txt"),
                     "0 0.1 0.1 0.1 0.1\n0 0.2 0.2 0.1 0.1\n0 0.3 0.3 0.1 0.1\n2 0.5 0.5 0.1 0.1\n"
                     "0 0.3 0.3 0.1 0.1\n");
    // A file the engine rejects (a class without a name, a word for a class) adds nothing.
    test::write_text(path("i2.txt"), "1 0.5 0.5 0.2 0.2\n7 0.5 0.5 0.1 0.1\n");
    test::write_text(path("i3.txt"), "1 0.5 0.5 0.2 0.2\n");
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
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->dialog_titles, QStringList({"Dataset Class Distribution"}));
    QCOMPARE(rows, QStringList({"Current Annotation Totals:", "car (3)", "van (2)", "bus (2)"}));
    QCOMPARE(values, QList<int>({3, 2, 2}));
    QCOMPARE(maximum, 3);

    show_dataset_analytics(nullptr, {}, {"car"});
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().text, QString("Load a dataset first."));
    // Without class names objects are counted by their ids.
    rows.clear();
    prompts_->dialogs.push_back([&](QDialog& d) -> int {
      for (auto* label : d.findChildren<QLabel*>()) rows << label->text();
      return QDialog::Rejected;
    });
    show_dataset_analytics(nullptr, images, {});
    QVERIFY(test::settle_window_work());
    QCOMPARE(rows, QStringList({"Current Annotation Totals:", "1 (3)", "0 (3)", "2 (2)", "7 (1)"}));
    for (const QString& image : images)
      QFile::remove(QFileInfo(image).path() + "/" + QFileInfo(image).baseName() + ".txt");
    show_dataset_analytics(nullptr, images, {});
    QVERIFY(test::settle_window_work());
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
    // (Pictures without a label file have their own section, asked for by name.)
    const auto only = [&](const QString& title_start) -> QaSection {
      QaFindings f = examine_dataset_quality(dir_->path(), {"car", "bus"}, 640);
      const QString unlabelled = "Pictures without a label file";
      if (!title_start.startsWith(unlabelled))
        f.sections.erase(std::remove_if(f.sections.begin(), f.sections.end(),
                                        [&](const QaSection& s) { return s.title.startsWith(unlabelled); }),
                         f.sections.end());
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
    // The engine rejects the file whole, for its first fault; the lines say where each one is.
    const QaFindings faulty = examine_dataset_quality(dir_->path(), {"car", "bus"}, 640);
    QCOMPARE(faulty.sections.size(), 2);
    QCOMPARE(faulty.sections[0].items, QStringList({"c.txt: a segment row of 3 coordinates cannot be read as points"}));
    QCOMPARE(
        faulty.sections[1].items,
        QStringList({"c.txt line 1: Label class 7 exceeds dataset class count 2", "c.txt line 2: negative label values",
                     "c.txt line 3: non-normalized or out of bounds coordinates",
                     "c.txt line 4: labels require 5 columns, 4 columns detected",
                     "c.txt line 8: could not convert string to float: 'x'",
                     "c.txt line 9: a segment row of 7 coordinates cannot be read as points"}));
    // What the engine takes as it is is no finding: another tool's byte-order mark, a class "1.0",
    // points on one line.
    QFile bom(path("c.txt"));
    QVERIFY(bom.open(QIODevice::WriteOnly));
    bom.write(
        "\xEF\xBB\xBF"
        "0 0.1 0.1 0.5 0.1 0.5 0.5\r\n1.0 0.1 0.1 0.2 0.2 0.3 0.3\r\n");
    bom.close();
    QVERIFY(examine_dataset_quality(dir_->path(), {"car", "bus"}, 640).sections.isEmpty());
    // Coordinates within the tolerance are clipped: a milder finding of their own.
    test::write_text(path("c.txt"), "0 0.1 0.1 1.005 0.1 0.5 0.5\n");
    QCOMPARE(only("Label files with coordinates just beyond 0..1").items, QStringList({"c.txt"}));
    // The same box written two ways is a duplicate the engine removes.
    test::write_text(path("c.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n0 0.10 0.1 0.5 0.1 0.50 0.5\n");
    QCOMPARE(only("Label files whose duplicate rows").items, QStringList({"c.txt: 1 duplicate row(s)"}));
    // A file mixing box and polygon rows is rejected whole.
    test::write_text(path("c.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n0 0.5 0.5 0.2 0.2\n");
    QCOMPARE(examine_dataset_quality(dir_->path(), {"car", "bus"}, 640).sections[0].items,
             QStringList({"c.txt: labels mix segment and detection rows"}));
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
    QCOMPARE(examine_dataset_quality(dir_->path(), {"car", "bus"}, 640).sections.last().items,
             QStringList({"d.png"}));  // a background to the engine
    QFile::remove(path("d.png"));
    test::write_text(path("d.png"), "not a picture");
    QCOMPARE(only("Images the engine cannot use").items, QStringList({"d.png: cannot be read"}));
    test::write_png_claiming(path("d.png"), 30000, 30000);  // 900 megapixels by its header
    QVERIFY(only("Images the engine cannot use")
                .items.value(0)
                .startsWith("d.png: too large to decode, 30000 x 30000 px (900 megapixels"));
    QFile::remove(path("d.png"));
    // A JPEG with data after its end marker (a phone's trailer): the engine re-encodes it in place.
    photo("e.jpg", 6);
    QFile jpeg(path("e.jpg"));
    QVERIFY(jpeg.open(QIODevice::ReadOnly));
    const QByteArray whole = jpeg.readAll();
    jpeg.close();
    const QString rewritten = "JPEG files the engine re-encodes in place";
    QVERIFY(jpeg.open(QIODevice::WriteOnly));
    jpeg.write(whole + "MotionPhoto_Data");
    jpeg.close();
    QCOMPARE(only(rewritten).items, QStringList({"e.jpg: other data after the picture"}));
    // One cut short is no picture to the engine: it cannot decode it and drops it.
    QVERIFY(jpeg.open(QIODevice::WriteOnly));
    jpeg.write(whole.left(whole.size() * 3 / 4));
    jpeg.close();
    QCOMPARE(only("Images the engine cannot use").items, QStringList({"e.jpg: image file is truncated"}));
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
    QVERIFY(test::settle_window_work());
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

QTEST_MAIN(TestDatasetChecks)
#include "test_dataset_checks.moc"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <cstdio>
#include <thread>

#include "core/class_names.h"
#include "core/image_limits.h"
#include "core/label_files.h"
#include "support/fixtures.h"

using namespace quorlan;

class TestLabelFiles : public QObject {
  Q_OBJECT
 private slots:
  void label_path_replaces_the_last_extension_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("label");
    QTest::newRow("plain") << "/d/street_04.jpg"
                           << "/d/street_04.txt";
    QTest::newRow("dots in the name, upper case") << "/d/a.b.PNG"
                                                  << "/d/a.b.txt";
    QTest::newRow("a dot in the folder only") << "/d.x/noext"
                                              << "/d.x/noext.txt";
  }
  void label_path_replaces_the_last_extension() {
    QFETCH(QString, image);
    QFETCH(QString, label);
    QCOMPARE(label_path_for(image), label);
  }

  void label_files_of_the_engine_layout() {
    // The engine's layout: images/ with a sibling labels/ keeps the label files there.
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("set/images");
    QCOMPARE(label_path_for(dir.filePath("set/images/a.jpg")), dir.filePath("set/images/a.txt"));
    QDir(dir.path()).mkpath("set/labels");
    QCOMPARE(label_folder_for(dir.filePath("set/images")), dir.filePath("set/labels"));
    QCOMPARE(label_path_for(dir.filePath("set/images/a.jpg")), dir.filePath("set/labels/a.txt"));
    // The engine's usual split folders: the last "images" on the path becomes "labels".
    QDir(dir.path()).mkpath("set/images/train");
    QCOMPARE(label_path_for(dir.filePath("set/images/train/a.jpg")), dir.filePath("set/images/train/a.txt"));
    QDir(dir.path()).mkpath("set/labels/train");
    QCOMPARE(label_path_for(dir.filePath("set/images/train/a.jpg")), dir.filePath("set/labels/train/a.txt"));
    QDir(dir.path()).mkpath("images/x/images/val");
    QDir(dir.path()).mkpath("images/x/labels/val");
    QDir(dir.path()).mkpath("labels/x/images/val");
    QCOMPARE(label_folder_for(dir.filePath("images/x/images/val")), dir.filePath("images/x/labels/val"));
    // A folder that only has "images" inside a longer name keeps its labels beside the pictures.
    QDir(dir.path()).mkpath("my_images");
    QDir(dir.path()).mkpath("my_labels");
    QCOMPARE(label_folder_for(dir.filePath("my_images")), dir.filePath("my_images"));
  }

  void line_format_six_decimals_and_clamping() {
    const QPolygonF rect({{66, 100}, {244, 100}, {244, 245}, {66, 245}});
    QCOMPARE(format_label_line(2, rect, 640, 400),
             QString("2 0.103125 0.250000 0.381250 0.250000 0.381250 0.612500 0.103125 0.612500"));
    const QPolygonF outside({{-5, 10}, {700, -1}, {320, 500}});
    QCOMPARE(format_label_line(0, outside, 640, 400),
             QString("0 0.000000 0.025000 1.000000 0.000000 0.500000 1.000000"));
  }

  void reading_skips_and_errors() {
    // Short lines, ids beyond the list and negative ids are skipped; reading goes on.
    const QString text =
        "0 0.1 0.2 0.3 0.4 0.5 0.6\n"
        "1 0.5\n"
        "7 0.1 0.1 0.2 0.2 0.3 0.3\n"
        "-1 0.1 0.1 0.2 0.2 0.3 0.3\n"
        "\r\n"
        "  1 0.1 0.2 0.3 0.2 0.3 0.4 0.1 0.4  \r\n";
    LabelReadResult r = parse_label_text(text, 2, 100, 50);
    QVERIFY(r.first_malformed.isEmpty());
    QCOMPARE(r.shapes.size(), 2);
    QCOMPARE(r.shapes[0].class_id, 0);
    QCOMPARE(r.shapes[0].points, QPolygonF({{10, 10}, {30, 20}, {50, 30}}));
    QCOMPARE(r.shapes[1].class_id, 1);
    QCOMPARE(r.shapes[1].points.size(), 4);

    QCOMPARE(r.kept, QVector<QByteArray>({"1 0.5", "7 0.1 0.1 0.2 0.2 0.3 0.3", "-1 0.1 0.1 0.2 0.2 0.3 0.3"}));

    // Malformed lines are kept byte for byte, not shown; the lines after them still are.
    for (const QString bad : {"0 0.1 0.2 0.3", "0 0.1 x 0.3 0.4 0.5 0.6", "0 nan 0.2 0.3 0.4 0.5 0.6",
                              "0 inf 0.2 0.3 0.4 0.5 0.6", "zero 0.1 0.2 0.3 0.4 0.5 0.6", "0 0.5 0.5"}) {
      r = parse_label_text("1 0.1 0.1 0.2 0.2 0.3 0.3\n" + bad + "\n0 0.1 0.1 0.2 0.2 0.3 0.3\n", 2, 10, 10);
      QCOMPARE(r.shapes.size(), 2);
      QCOMPARE(r.kept, QVector<QByteArray>({bad.toUtf8()}));
    }
    QVERIFY(!parse_label_text("0 0.1 x 0.3 0.4 0.5 0.6\n", 2, 10, 10).first_malformed.isEmpty());
    // Without class names every non-negative id is shown.
    QCOMPARE(parse_label_text("7 0.1 0.1 0.2 0.2 0.3 0.3\n", -1, 10, 10).shapes[0].class_id, 7);
  }

  void line_breaks_and_box_lines() {
    // LF, CR LF and a bare CR all end a line.
    LabelReadResult r = parse_label_bytes(
        "0 0.1 0.1 0.2 0.2 0.3 0.3\r1 0.1 0.1 0.2 0.2 0.3 0.3\r\n"
        "0 0.5 0.5 0.2 0.4\n",
        2, 100, 100);
    QCOMPARE(r.shapes.size(), 3);
    QCOMPARE(r.shapes[1].class_id, 1);
    // A 5-field line is a box: shown as its rectangle, remembered as a box.
    QVERIFY(r.shapes[2].box);
    QCOMPARE(r.shapes[2].points, QPolygonF({{40, 30}, {60, 30}, {60, 70}, {40, 70}}));
    QCOMPARE(r.shapes[2].raw, QByteArray("0 0.5 0.5 0.2 0.4"));
    QCOMPARE(format_box_line(3, r.shapes[2].points, 100, 100), QString("3 0.500000 0.500000 0.200000 0.400000"));
    QCOMPARE(parse_label_bytes("0 0.1 0.1 0.2 0.2 0.3 0.3\r\n", 1, 1, 1).eol, QByteArray("\r\n"));
  }

  void numbers_round_as_printf_does() {
    // 1 px of 640: the double 1/640 lies just above the tie 0.0015625, so %.6f rounds it up
    // (a formatter that rounds the shortest decimal form half-to-even would say 0.001562).
    QCOMPARE(format_label_line(0, QPolygonF({{1, 0}, {0, 0}, {0, 0}}), 640, 480).section(' ', 1, 1),
             QString("0.001563"));
    char expected[32];
    for (double v : {0.0015625, 0.1234565, 2.5e-7, 0.9999995}) {
      std::snprintf(expected, sizeof expected, "%.6f", v);
      QCOMPARE(fixed6(v), QString::fromLatin1(expected));
    }
    QCOMPARE(fixed6(-0.0), QString("0.000000"));
    QCOMPARE(fixed6(-1e-9), QString("0.000000"));
    QCOMPARE(*polygon_line_to_box_line("0 -0.0000001 0 0.0000001 0 0 0"),
             QString("0 0.000000 0.000000 0.000000 0.000000\n"));
  }

  void folder_class_names() {
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("ds/train/images");
    const QString images = dir.filePath("ds/train/images");
    QCOMPARE(load_folder_classes(images).source, FolderClasses::Source::None);
    // A YAML with names that merely lies above (settings of another program) names nothing.
    test::write_text(dir.filePath("ds/data.yaml"), "path: .\nnames:\n  0: car\n  2: 'a: b'\n");
    test::write_text(dir.filePath("ds/train/settings.yaml"), "names: [stray]\n");
    QCOMPARE(load_folder_classes(images).source, FolderClasses::Source::None);
    // The manifest two folders up whose train entry is this folder, mapping form with a gap.
    test::write_text(dir.filePath("ds/data.yaml"), "path: .\ntrain: train/images\nnames:\n  0: car\n  2: 'a: b'\n");
    FolderClasses found = load_folder_classes(images);
    QCOMPARE(found.source, FolderClasses::Source::Manifest);
    QCOMPARE(found.names, QStringList({"car", "1", "a: b"}));
    // Another *.yaml holding names, list form, nearer the folder and leading to it.
    test::write_text(dir.filePath("ds/train/coco8.yaml"), "train: images\nnames: [person, 'bi\\ncycle']\n");
    test::write_text(dir.filePath("ds/train/args.yaml"), "epochs: 3\n");
    QCOMPARE(load_folder_classes(images).names, QStringList({"person", "bi\\ncycle"}));
    // classes.txt beside the images wins.
    test::write_text(images + "/classes.txt", "x\ny\n");
    found = load_folder_classes(images);
    QCOMPARE(found.source, FolderClasses::Source::ClassesFile);
    QCOMPARE(found.names, QStringList({"x", "y"}));
    QVERIFY(!read_manifest_names(dir.filePath("ds/train/args.yaml")));
    test::write_text(dir.filePath("bad.yaml"), "names: [unclosed\n");
    QVERIFY(!read_manifest_names(dir.filePath("bad.yaml")));
  }

  void a_gif_is_bounded_by_its_screen_not_its_first_frame() {
    QTemporaryDir dir;
    // A 60000 x 60000 logical screen whose only frame is 1 x 1 pixel.
    const QByteArray gif = QByteArray("GIF89a") + QByteArray::fromHex("60ea60ea000000") +
                           QByteArray::fromHex("2c0000000001000100000202044c01003b");
    QFile f(dir.filePath("screen.gif"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(gif);
    f.close();
    QCOMPARE(header_size(dir.filePath("screen.gif")), QSize(60000, 60000));
    QVERIFY(!too_large_to_decode(dir.filePath("screen.gif")).isEmpty());
  }

  void an_empty_class_name_never_shifts_the_ids() {
    QTemporaryDir dir;
    for (const char* yaml : {"names: [car, '', bird, ~]\n", "names:\n  0: car\n  1: ''\n  2: bird\n  3:\n"}) {
      test::write_text(dir.filePath("data.yaml"), QString("train: .\n") + yaml);
      const FolderClasses found = load_folder_classes(dir.path());
      QCOMPARE(found.names, QStringList({"car", "1", "bird", "3"}));
      QCOMPARE(found.blank_names, QList<int>({1, 3}));
      // Written and read back: "bird" is still id 2.
      QDir().mkpath(dir.filePath("out"));
      QFile out(dir.filePath("out/classes.txt"));
      QVERIFY(out.open(QIODevice::WriteOnly));
      out.write(classes_file_bytes({"car", "", "bird", "  "}));
      out.close();
      QCOMPARE(*read_classes_file(dir.filePath("out/classes.txt")), QStringList({"car", "1", "bird", "3"}));
    }
  }

  void manifests_resolve_as_the_engine_resolves_them() {
    QTemporaryDir dir;
    // Roboflow's layout: data.yaml in the root, "../train/images" meaning the root's train/images.
    for (const char* folder : {"rf/train/images", "rf/valid/images", "rf/test/images"}) QDir(dir.path()).mkpath(folder);
    test::write_text(dir.filePath("rf/data.yaml"),
                     "train: ../train/images\nval: ../valid/images\ntest: ../test/images\nnc: 1\nnames: ['fish']\n");
    const auto roboflow = read_dataset_manifest(dir.filePath("rf/data.yaml"));
    QVERIFY(roboflow);
    QCOMPARE(roboflow->split_folders, QStringList({dir.filePath("rf/train/images"), dir.filePath("rf/valid/images"),
                                                   dir.filePath("rf/test/images")}));
    QCOMPARE(load_folder_classes(dir.filePath("rf/valid/images")).names, QStringList({"fish"}));
    QVERIFY(roboflow->relative_root.isEmpty());
    // List files: the folders of the pictures they name.
    QDir(dir.path()).mkpath("lists/images/a");
    QDir(dir.path()).mkpath("lists/images/b");
    test::write_text(dir.filePath("lists/train.txt"), "./images/a/1.jpg\n./images/a/2.jpg\n");
    test::write_text(dir.filePath("lists/val.txt"), dir.filePath("lists/images/b/3.jpg") + "\n");
    test::write_text(dir.filePath("lists/data.yaml"), "path: .\ntrain: train.txt\nval: val.txt\nnames: [cat]\n");
    const auto listed = read_dataset_manifest(dir.filePath("lists/data.yaml"));
    QCOMPARE(listed->split_folders, QStringList({dir.filePath("lists/images/a"), dir.filePath("lists/images/b")}));
    QCOMPARE(listed->list_files.size(), 2);
    QCOMPARE(listed->relative_root, QString("."));
    QCOMPARE(load_folder_classes(dir.filePath("lists/images/b")).names, QStringList({"cat"}));
    // A manifest replaced while classes load: each read sees one whole file or none, never a crash.
    QDir(dir.path()).mkpath("swap/images");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      for (int i = 0; !stop; ++i)
        test::write_text(dir.filePath("swap/data.yaml"), i % 2 ? "train: images\nnames: [a, b]\n" : "names: [\n");
    });
    for (int i = 0; i < 300; ++i) {
      const FolderClasses swapped = load_folder_classes(dir.filePath("swap/images"));
      QVERIFY(swapped.names.isEmpty() || swapped.names == QStringList({"a", "b"}));
    }
    stop = true;
    writer.join();
  }

  void box_line_conversion() {
    QCOMPARE(*polygon_line_to_box_line("1 0.2 0.4 0.6 0.4 0.6 0.8 0.2 0.8"),
             QString("1 0.400000 0.600000 0.400000 0.400000\n"));
    QCOMPARE(*polygon_line_to_box_line("  3 0.5 0.25  "), QString("3 0.500000 0.250000 0.000000 0.000000\n"));
    QCOMPARE(*polygon_line_to_box_line("5 0.1 0.2 0.9"), QString("5 0.500000 0.200000 0.800000 0.000000\n"));
    QCOMPARE(*polygon_line_to_box_line("1 0.5"), QString());
    QCOMPARE(*polygon_line_to_box_line(""), QString());
    const Expected<QString> bad = polygon_line_to_box_line("1 0.5 oops");
    QVERIFY(!bad);
    QVERIFY(bad.error().contains("oops"));
    // No clamping here: values beyond the image stay.
    QCOMPARE(*polygon_line_to_box_line("0 -0.2 0 1.2 1 0.5 0.5"), QString("0 0.500000 0.500000 1.400000 1.000000\n"));
    // A box line is already a box: its own numbers, never its corners read as two points.
    QCOMPARE(*polygon_line_to_box_line("0 0.5 0.5 0.2 0.2"), QString("0 0.500000 0.500000 0.200000 0.200000\n"));
    QCOMPARE(*polygon_line_to_box_line("7 0.1234567 0.5 1e-1 0.25"),
             QString("7 0.123457 0.500000 0.100000 0.250000\n"));
  }

  void classes_file() {
    QTemporaryDir dir;
    const QString path = dir.filePath("classes.txt");
    QVERIFY(!read_classes_file(path).has_value());
    test::write_text(path, "  car \n\nperson\r\n\t\nbus");
    QCOMPARE(*read_classes_file(path), QStringList({"car", "person", "bus"}));
    QCOMPARE(classes_file_bytes({"car", "bus"}), QByteArray("car\nbus\n"));
    // UTF-8 names, and a name with a line break written on one line.
    QCOMPARE(classes_file_bytes({"caf\u00e9", "a\nb"}), QByteArray("caf\xc3\xa9\na b\n"));
    QFile raw(path);
    QVERIFY(raw.open(QIODevice::WriteOnly));
    raw.write(
        "caf\xc3\xa9\nstra\xdf"
        "e\n");  // not UTF-8 as a whole: read as Latin-1
    raw.close();
    QCOMPARE(*read_classes_file(path), QStringList({"caf\u00c3\u00a9", "stra\u00dfe"}));
    QCOMPARE(status_mark(true), QString("[✓] "));
    QCOMPARE(status_mark(false), QString("[  ] "));
  }
};

QTEST_MAIN(TestLabelFiles)
#include "test_label_files.moc"

#include <QTemporaryDir>
#include <QtTest>

#include "core/label_files.h"
#include "support/fixtures.h"

using namespace quorlan;

class TestLabelFiles : public QObject {
  Q_OBJECT
 private slots:
  void label_path_replaces_the_last_extension() {
    QCOMPARE(label_path_for("/d/street_04.jpg"), QString("/d/street_04.txt"));
    QCOMPARE(label_path_for("/d/a.b.PNG"), QString("/d/a.b.txt"));
    QCOMPARE(label_path_for("/d.x/noext"), QString("/d.x/noext.txt"));
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
    QVERIFY(r.error.isEmpty());
    QCOMPARE(r.shapes.size(), 2);
    QCOMPARE(r.shapes[0].class_id, 0);
    QCOMPARE(r.shapes[0].points, QPolygonF({{10, 10}, {30, 20}, {50, 30}}));
    QCOMPARE(r.shapes[1].class_id, 1);
    QCOMPARE(r.shapes[1].points.size(), 4);

    // An odd number of coordinates, a word, and a non-finite number end the reading.
    for (const QString bad : {"0 0.1 0.2 0.3\n", "0 0.1 x 0.3 0.4 0.5 0.6\n", "0 nan 0.2 0.3 0.4 0.5 0.6\n",
                              "0 inf 0.2 0.3 0.4 0.5 0.6\n", "zero 0.1 0.2 0.3 0.4 0.5 0.6\n"}) {
      r = parse_label_text("1 0.1 0.1 0.2 0.2 0.3 0.3\n" + bad + "0 0.1 0.1 0.2 0.2 0.3 0.3\n", 2, 10, 10);
      QVERIFY2(!r.error.isEmpty(), qPrintable(bad));
      QCOMPARE(r.shapes.size(), 1);  // the line before the failure stays
    }
    // An id beyond the list is skipped before its coordinates are looked at.
    r = parse_label_text("7 0.1 0.2 0.3\n", 2, 10, 10);
    QVERIFY(r.error.isEmpty());
  }

  void box_line_conversion() {
    QCOMPARE(*polygon_line_to_box_line("1 0.2 0.4 0.6 0.4 0.6 0.8 0.2 0.8"),
             QString("1 0.400000 0.600000 0.400000 0.400000\n"));
    QCOMPARE(*polygon_line_to_box_line("  3 0.5 0.25  "), QString("3 0.500000 0.250000 0.000000 0.000000\n"));
    QCOMPARE(*polygon_line_to_box_line("5 0.1 0.2 0.9"), QString("5 0.500000 0.200000 0.800000 0.000000\n"));
    QVERIFY(!polygon_line_to_box_line("1 0.5").has_value());
    QVERIFY(!polygon_line_to_box_line("").has_value());
    QString error;
    QVERIFY(!polygon_line_to_box_line("1 0.5 oops", &error).has_value());
    QVERIFY(error.contains("oops"));
    // No clamping here: values beyond the image stay.
    QCOMPARE(*polygon_line_to_box_line("0 -0.2 0 1.2 1"), QString("0 0.500000 0.500000 1.400000 1.000000\n"));
  }

  void classes_file() {
    QTemporaryDir dir;
    const QString path = dir.filePath("classes.txt");
    QVERIFY(!read_classes_file(path).has_value());
    test::write_text(path, "  car \n\nperson\r\n\t\nbus");
    QCOMPARE(*read_classes_file(path), QStringList({"car", "person", "bus"}));
    QCOMPARE(classes_file_bytes({"car", "bus"}), QByteArray("car\nbus\n"));
    QCOMPARE(status_mark(true), QString("[✓] "));
    QCOMPARE(status_mark(false), QString("[  ] "));
  }
};

QTEST_MAIN(TestLabelFiles)
#include "test_label_files.moc"

// The annotation document alone (it links the core only): edits as undo steps, byte-exact saves,
// kept lines, files changed by another program, and the folder's label kind.
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QtTest>

#include "core/annotation_document.h"
#include "core/class_names.h"
#include "core/label_kind.h"
#include "support/fixtures.h"

using namespace quorlan;

namespace {
const QSize kSize(200, 100);
const QByteArray kFile =
    "0 0.5 0.5 0.6 0.6\r\n"          // a box as a converter writes it
    "1 0.1 0.1 0.3 0.1 0.3 0.3\r\n"  // a polygon
    "7 oops\r\n"                     // kept: a stray token
    "0 nan 0.2 0.1 0.1\r\n";         // kept: not a finite number
}  // namespace

class TestAnnotationDocument : public QObject {
  Q_OBJECT
 private slots:
  void init() { dir_.reset(new QTemporaryDir); }

  void reads_boxes_as_boxes_and_keeps_what_it_cannot_show() {
    write(kFile);
    AnnotationDocument doc;
    QSignalSpy changed(&doc, &AnnotationDocument::shapes_changed);
    doc.open(path(), 2, kSize);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(doc.shapes().size(), 2);
    QVERIFY(doc.shapes()[0].is_box());
    QCOMPARE(doc.shapes()[0].points.boundingRect(), QRectF(40, 20, 120, 60));
    QVERIFY(!doc.shapes()[1].is_box());
    QCOMPARE(doc.kept(), QVector<QByteArray>({"7 oops", "0 nan 0.2 0.1 0.1"}));
    QVERIFY(!doc.is_changed());
    QVERIFY(!doc.can_undo());
    // Nothing changed: the bytes are the file's own.
    QCOMPARE(doc.bytes(), kFile);
  }

  void every_edit_is_one_step_and_undo_restores_the_bytes() {
    write(kFile);
    AnnotationDocument doc;
    doc.open(path(), 2, kSize);
    QVERIFY(doc.translate({0}, QPointF(20, 10)));
    QVERIFY(doc.is_changed());
    QVERIFY(doc.save().ok());
    // The moved box is still a box line; the rest is byte for byte.
    QCOMPARE(read(), QByteArray("0 0.600000 0.600000 0.600000 0.600000\r\n1 0.1 0.1 0.3 0.1 0.3 0.3\r\n7 oops\r\n"
                                "0 nan 0.2 0.1 0.1\r\n"));
    QVERIFY(!doc.translate({0}, QPointF()));  // a move by nothing is no step
    QVERIFY(doc.set_class(1, 0));
    QVERIFY(doc.set_points(0, QPolygonF({{0, 0}, {100, 0}, {100, 50}, {0, 50}})));
    QVERIFY(doc.shapes()[0].is_box());  // a box edited by its corners stays a box
    QVERIFY(doc.remove({1}));
    QVERIFY(doc.add("Add Shape",
                    {drawn_annotation(1, LabelKind::Boxes, QPolygonF({{10, 10}, {30, 5}, {20, 40}}), "Polygon")}));
    QCOMPARE(doc.shapes()[1].points.boundingRect(), QRectF(10, 5, 20, 35));
    QCOMPARE(doc.undo_stack()->count(), 5);
    QVERIFY(doc.save().ok());
    for (int i = 0; i < 5; ++i) doc.undo();
    QVERIFY(!doc.can_undo());
    QVERIFY(doc.is_changed());
    QVERIFY(doc.save().ok());
    QCOMPARE(read(), kFile);
    doc.redo();
    QVERIFY(doc.save().ok());
    QVERIFY(read().startsWith("0 0.600000 0.600000 0.600000 0.600000\r\n"));
  }

  void the_history_belongs_to_its_image_and_its_file() {
    write(kFile);
    const QString other = dir_->filePath("b.txt");
    AnnotationDocument doc;
    doc.open(path(), 2, kSize);
    doc.remove({0});
    QVERIFY(doc.save().ok());
    doc.open(other, 2, kSize);  // another image: its own (empty) history
    QVERIFY(!doc.can_undo());
    doc.open(path(), 2, kSize);  // back: the step is still there
    QVERIFY(doc.can_undo());
    // Another program rewrites the file: the old steps no longer apply.
    QTest::qWait(20);
    write("0 0.5 0.5 0.1 0.1\n");
    doc.open(path(), 2, kSize);
    QVERIFY(!doc.can_undo());
  }

  void deleting_everything_removes_the_file_and_a_background_is_an_empty_file() {
    write("0 0.5 0.5 0.2 0.2\n");
    AnnotationDocument doc;
    doc.open(path(), -1, kSize);
    doc.remove({0});
    QVERIFY(doc.save().ok());
    QVERIFY(!QFileInfo::exists(path()));
    QVERIFY(doc.confirm_empty());
    QVERIFY(doc.save().ok());
    QCOMPARE(QFileInfo(path()).size(), 0);
    doc.undo();
    QVERIFY(doc.save().ok());
    QVERIFY(!QFileInfo::exists(path()));
  }

  void another_programs_change_is_seen() {
    write(kFile);
    AnnotationDocument doc;
    doc.open(path(), 2, kSize);
    QSignalSpy outside(&doc, &AnnotationDocument::file_changed_on_disk);
    doc.remove({1});
    QVERIFY(doc.save().ok());  // our own write is no outside change
    QTest::qWait(50);
    QCOMPARE(outside.count(), 0);
    QVERIFY(!doc.changed_on_disk());
    QTest::qWait(20);
    write("0 0.1 0.1 0.1 0.1\n");
    QVERIFY(outside.wait(2000));
    QVERIFY(doc.changed_on_disk());
  }

  void a_full_disk_keeps_the_old_file_and_names_the_reason() {
    test::SmallDisk disk(64);
    if (!disk.ok()) QSKIP("a small file system cannot be mounted here");
    const QString label = disk.path() + "/a.txt";
    test::write_text(label, "0 0.5 0.5 0.2 0.2\n");
    disk.fill();
    AnnotationDocument doc;
    doc.open(label, -1, kSize);
    QVector<Annotation> many;
    for (int i = 0; i < 4000; ++i)
      many << drawn_annotation(0, LabelKind::Boxes, QPolygonF({{1.0 * (i % 100), 1}, {50, 40}, {3, 30}}), "R");
    QVERIFY(doc.add("Add Shape", many));
    const Status saved = doc.save();
    QVERIFY(!saved);
    QVERIFY2(saved.error().contains("No space left on device"), qPrintable(saved.error()));
    QCOMPARE(test::read_text(label), QString("0 0.5 0.5 0.2 0.2\n"));
  }

  void an_unreadable_file_is_never_written_over() {
    QDir(dir_->path()).mkdir("a.txt");  // a folder where the label file should be
    AnnotationDocument doc;
    doc.open(path(), 2, kSize);
    QVERIFY(doc.add("Add Shape", {drawn_annotation(0, LabelKind::Boxes, QPolygonF({{0, 0}, {10, 10}, {0, 10}}), "R")}));
    const Status saved = doc.save();
    QVERIFY(!saved.ok());
    QVERIFY(saved.error().contains("not written over"));
    QVERIFY(QFileInfo(path()).isDir());
  }

  void the_label_kind_of_a_folder_and_its_switch() {
    const QString a = dir_->filePath("a.txt"), b = dir_->filePath("b.txt"), c = dir_->filePath("c.txt");
    test::write_text(a, "0 0.5 0.5 0.2 0.2\n1 0.25 0.25 0.1 0.1\n");
    test::write_text(b, "0 0.1 0.1 0.3 0.1 0.3 0.3\n");
    test::write_text(c, "3 oops\n");
    QCOMPARE(label_kind_of_files({a, b, c}), std::optional<LabelKind>(LabelKind::Boxes));
    QCOMPARE(label_kind_of_files({b, c}), std::optional<LabelKind>(LabelKind::Polygons));
    QCOMPARE(label_kind_of_files({c}), std::nullopt);
    test::write_text(dir_->filePath("data.yaml"), "task: detect\nnames: [a]\n");
    QCOMPARE(read_dataset_manifest(dir_->filePath("data.yaml"))->task, std::optional<LabelKind>(LabelKind::Boxes));

    // To polygons: only the file with box lines, exactly its box lines.
    const KindSwitch to_polygons = plan_kind_switch({a, b, c, dir_->filePath("none.txt")}, LabelKind::Polygons);
    QCOMPARE(to_polygons.files, QStringList({a}));
    QCOMPARE(to_polygons.lines, 2);
    const QByteArray b_before = test::read_bytes(b);
    QCOMPARE(*apply_kind_switch(to_polygons, LabelKind::Polygons), 1);
    QCOMPARE(test::read_text(a),
             QString("0 0.400000 0.400000 0.600000 0.400000 0.600000 0.600000 0.400000 0.600000\n"
                     "1 0.200000 0.200000 0.300000 0.200000 0.300000 0.300000 0.200000 0.300000\n"));
    QCOMPARE(test::read_bytes(b), b_before);
    // Back to boxes: both files, the corners giving the very boxes again; the stray line stays.
    const KindSwitch to_boxes = plan_kind_switch({a, b, c}, LabelKind::Boxes);
    QCOMPARE(to_boxes.files, QStringList({a, b}));
    QCOMPARE(*apply_kind_switch(to_boxes, LabelKind::Boxes), 2);
    QCOMPARE(test::read_text(a),
             QString("0 0.500000 0.500000 0.200000 0.200000\n1 0.250000 0.250000 0.100000 0.100000\n"));
    QCOMPARE(test::read_text(b), QString("0 0.200000 0.200000 0.200000 0.200000\n"));
    QCOMPARE(test::read_text(c), QString("3 oops\n"));
  }

 private:
  QString path() const { return dir_->filePath("a.txt"); }
  void write(const QByteArray& bytes) {
    QFile f(path());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
  }
  QByteArray read() const { return test::read_bytes(path()); }
  std::unique_ptr<QTemporaryDir> dir_;
};

QTEST_GUILESS_MAIN(TestAnnotationDocument)
#include "test_annotation_document.moc"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "annotate/annotator_tab.h"
#include "annotate/auto_labelling.h"
#include "annotate/label_dialog.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

// The picture and the shapes, without a highlighted shape's vertex handles.
qsizetype top_level_items(const QGraphicsScene* scene) {
  qsizetype n = 0;
  for (const QGraphicsItem* item : scene->items()) n += item->parentItem() == nullptr ? 1 : 0;
  return n;
}

QStringList list_texts(const QListWidget* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
  return texts;
}

}  // namespace

class TestAnnotator : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<AnnotatorTab> tab_;

  QString path(const QString& name) const { return dir_->filePath(name); }

  // Draws a shape through the canvas as the user would finish it, answering the label dialog.
  void draw(const QPolygonF& polygon, const QString& label, const QString& mode = "Polygon") {
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText(mode);
    prompts_->dialogs.push_back(test::answer_label(label));
    emit test::find<InteractiveCanvas>(*tab_, "canvas")->polygon_completed(polygon);
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
    test::write_image(path("img1.png"), 200, 100);
    test::write_image(path("img2.jpg"), 400, 200);
    test::write_image(path("B.PNG"), 50, 50);
    test::write_text(path("notes.txt"), "not an image");
    QDir(dir_->path()).mkdir("sub");
    test::write_image(path("sub/inner.png"), 10, 10);
    tab_ = std::make_unique<AnnotatorTab>();
    tab_->resize(1200, 800);
  }
  void cleanup() { tab_.reset(); }

  void widget_tree_and_defaults() {
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_img_status")->text(), QString("Status: Pending"));
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_output_folder")->text(), QString("Output: Not Set"));
    QVERIFY(!test::find<QPushButton>(*tab_, "btn_run_ai")->isEnabled());
    QCOMPARE(test::find<QDoubleSpinBox>(*tab_, "spin_ai_conf")->value(), 0.25);
    QCOMPARE(test::find<QComboBox>(*tab_, "combo_mode")->count(), 8);
    QCOMPARE(test::find<QComboBox>(*tab_, "combo_mode")->itemText(5), QString("AI Polygon"));
    QCOMPARE(test::find<QComboBox>(*tab_, "combo_mode")->itemText(7), QString("Refine Box"));
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->horizontalHeaderItem(1)->text(), QString("Shape"));
    QCOMPARE(test::find<QPushButton>(*tab_, "primaryBtn")->objectName(), QString("primaryBtn"));
    QCOMPARE(test::find<QPushButton>(*tab_, "primaryBtn")->text(), QString("📤 Export && Split Dataset"));
    QCOMPARE(test::find<ZoomableView>(*tab_, "canvas_view")->scene(),
             static_cast<QGraphicsScene*>(test::find<InteractiveCanvas>(*tab_, "canvas")));
  }

  void folder_loading_lists_sorts_and_starts_a_new_class_list() {
    prompts_->directories.push_back("");  // cancelled: nothing changes
    tab_->load_directory();
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->queue().paths().isEmpty());
    QCOMPARE(prompts_->asked_titles, QStringList({"Select Image Directory"}));

    QTemporaryDir before;  // a folder with classes of its own, opened first
    test::write_image(QDir(before.path()).filePath("x.png"), 8, 8);
    test::write_text(QDir(before.path()).filePath("classes.txt"), "kept\n");
    tab_->open_folder(before.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->class_names(), QStringList({"kept"}));
    prompts_->directories.push_back(dir_->path());
    tab_->load_directory();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().paths(), QStringList({path("B.PNG"), path("img1.png"), path("img2.jpg")}));
    QCOMPARE(list_texts(test::find<QListWidget>(*tab_, "list_images")),
             QStringList({"[  ] B.PNG", "[  ] img1.png", "[  ] img2.jpg"}));
    QCOMPARE(tab_->class_names(), QStringList());  // no classes.txt: the previous folder's list is not carried
    QCOMPARE(tab_->queue().current(), 0);
    QCOMPARE(tab_->picture().cols, 50);
    QCOMPARE(test::find<InteractiveCanvas>(*tab_, "canvas")->sceneRect(), QRectF(0, 0, 50, 50));
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_img_status")->text(), QString("STATUS: PENDING"));

    prompts_->directories.push_back(dir_->path() + "/sub");
    tab_->set_output_folder();
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_output_folder")->text(), QString("Output: sub"));
  }

  void draw_save_reload_round_trip() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab_->switch_label_kind(LabelKind::Polygons);  // rectangles as four-point polygons
    QVERIFY(test::settle_window_work());
    tab_->jump_to_image(1);  // img1.png, 200 x 100
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{20, 10}, {100, 10}, {100, 60}, {20, 60}}), "car", "Rectangle");
    draw(QPolygonF({{0, 0}, {50, 0}, {50, 50}}), "  person ");
    prompts_->dialogs.push_back(test::answer_label("dog", false));  // cancelled: dropped
    emit test::find<InteractiveCanvas>(*tab_, "canvas")->polygon_completed(QPolygonF({{1, 1}, {2, 2}, {3, 1}}));
    prompts_->dialogs.push_back(test::answer_label("   "));  // empty name: dropped
    emit test::find<InteractiveCanvas>(*tab_, "canvas")->polygon_completed(QPolygonF({{1, 1}, {2, 2}, {3, 1}}));

    QCOMPARE(prompts_->dialog_titles.first(), QString("Assign Target Class"));
    QCOMPARE(tab_->class_names(), QStringList({"car", "person"}));
    QCOMPARE(tab_->last_class(), QString("person"));
    QCOMPARE(test::read_text(path("classes.txt")), QString("car\nperson\n"));
    QCOMPARE(test::read_text(path("img1.txt")),
             QString("0 0.100000 0.100000 0.500000 0.100000 0.500000 0.600000 0.100000 0.600000\n"
                     "1 0.000000 0.000000 0.250000 0.000000 0.250000 0.500000\n"));
    QCOMPARE(test::find<QListWidget>(*tab_, "list_images")->item(1)->text(), QString("[✓] img1.png"));
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->rowCount(), 2);
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->item(0, 1)->text(), QString("Rectangle"));

    // A shape dragged past the border is clamped.
    tab_->shapes_on_screen()[1].item->setPos(-30, 80);
    emit test::find<InteractiveCanvas>(*tab_, "canvas")->items_moved_signal();
    QCOMPARE(tab_->shapes_on_screen()[1].item->pos(), QPointF(0, 0));  // the item shows the document again
    QCOMPARE(test::read_text(path("img1.txt")),
             QString("0 0.100000 0.100000 0.500000 0.100000 0.500000 0.600000 0.100000 0.600000\n"
                     "1 0.000000 0.800000 0.100000 0.800000 0.100000 1.000000\n"));

    // Reading back: four vertices are a "Rectangle", others a "Polygon".
    AnnotatorTab fresh;
    fresh.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    fresh.jump_to_image(1);
    QVERIFY(test::settle_window_work());
    QCOMPARE(fresh.class_names(), QStringList({"car", "person"}));
    QCOMPARE(fresh.shapes_on_screen().size(), 2);
    QCOMPARE(fresh.shapes_on_screen()[0].shown.type, QString("Rectangle"));
    QCOMPARE(fresh.shapes_on_screen()[1].shown.type, QString("Polygon"));
    QCOMPARE(fresh.shapes_on_screen()[1].label, QString("person"));
    QCOMPARE(fresh.shapes_on_screen()[0].item->polygon()[2], QPointF(100, 60));
    QCOMPARE(test::find<QLabel>(fresh, "lbl_img_status")->text(), QString("STATUS: ANNOTATED"));
    QCOMPARE(test::find<QListWidget>(fresh, "list_images")->item(1)->text(), QString("[✓] img1.png"));
  }

  void circle_is_read_back_as_polygon_and_errors_are_printed() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    InteractiveCanvas* canvas = test::find<InteractiveCanvas>(*tab_, "canvas");
    canvas->set_draw_mode("Circle");
    draw(QPolygonF(canvas->calculate_shape({50, 50}, {60, 50})), "ball", "Circle");
    QCOMPARE(tab_->shapes_on_screen()[0].shown.type, QString("Circle"));
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen()[0].shown.type, QString("Polygon"));
    QCOMPARE(tab_->shapes_on_screen()[0].item->polygon().size(), 32);

    test::write_text(path("img2.txt"), "0 0.1 0.1 0.2 0.1 0.2 0.2\n0 0.1 0.2 0.3\n0 0.5 0.5 0.6 0.5 0.6 0.6\n");
    QString printed;
    {
      test::CaptureStdout out;
      tab_->jump_to_image(2);
      QVERIFY(test::settle_window_work());
      printed = out.text();
    }
    QCOMPARE(tab_->shapes_on_screen().size(), 2);  // the malformed line is kept, not shown; the rest is
    QVERIFY(printed.startsWith("Error loading annotations: "));

    // Without class names shapes are shown under their ids.
    QFile::remove(path("classes.txt"));
    tab_->open_folder(dir_->path(), path("img2.jpg"));
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->class_names().isEmpty());
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->rowCount(), 2);
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->item(0, 0)->text(), QString("0"));
  }

  void navigation_saves_only_when_it_moves() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), "a");
    const QString before = test::read_text(path("B.txt"));
    tab_->shapes_on_screen()[0].item->setPos(5, 5);
    emit test::find<InteractiveCanvas>(*tab_, "canvas")
        ->items_moved_signal();  // a finished move is saved like any edit
    const QString moved = test::read_text(path("B.txt"));
    QVERIFY(moved != before);
    const FileStamp stamp = file_stamp(path("B.txt"));
    tab_->prev_image();  // first image: nothing happens
    QVERIFY(test::settle_window_work());
    tab_->jump_to_image(0);  // the current row again: nothing
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
    tab_->next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().current(), 1);
    QVERIFY(file_stamp(path("B.txt")) == stamp);  // navigation writes nothing more
    tab_->next_image();
    QVERIFY(test::settle_window_work());
    tab_->next_image();  // last image: stays
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().current(), 2);
    test::find<QListWidget>(*tab_, "list_images")->setCurrentRow(0);  // the list drives navigation
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().current(), 0);
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
  }

  void dragging_a_shape_saves_when_the_drag_ends() {
    tab_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab_.get()));
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab_->jump_to_image(1);
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{50, 25}, {150, 25}, {150, 75}, {50, 75}}), "box", "Rectangle");
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText("Select/Move");
    const QString before = test::read_text(path("img1.txt"));
    QWidget* vp = test::find<ZoomableView>(*tab_, "canvas_view")->viewport();
    const QPoint start = test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(QPointF(100, 50));
    const QPoint end = test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(QPointF(120, 60));
    QTest::mousePress(vp, Qt::LeftButton, {}, start);
    QTest::mouseMove(vp, start + QPoint(3, 3));
    QTest::mouseMove(vp, end);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, end);
    // The move is one step of the document: the shape's points moved, the file with them.
    QCOMPARE(tab_->shapes_on_screen()[0].item->pos(), QPointF(0, 0));
    const QPointF moved_to = tab_->shapes_on_screen()[0].item->scene_points().boundingRect().topLeft();
    QVERIFY2(std::abs(moved_to.x() - 70) < 1 && std::abs(moved_to.y() - 35) < 1,
             qPrintable(QString::number(moved_to.y())));
    QVERIFY(test::read_text(path("img1.txt")) != before);
    tab_->undo();
    QCOMPARE(test::read_text(path("img1.txt")), before);
  }

  void selection_is_mirrored_both_ways() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), "a");
    draw(QPolygonF({{20, 20}, {30, 20}, {30, 30}}), "b");
    test::find<QTableWidget>(*tab_, "table_objects")->selectRow(1);
    QVERIFY(tab_->shapes_on_screen()[1].item->isSelected());
    QVERIFY(!tab_->shapes_on_screen()[0].item->isSelected());
    QCOMPARE(tab_->shapes_on_screen()[1].item->pen().width(), 4);
    QCOMPARE(tab_->shapes_on_screen()[1].item->brush().color().alpha(), 120);
    QCOMPARE(tab_->shapes_on_screen()[1].item->zValue(), 1.0);
    QCOMPARE(tab_->shapes_on_screen()[0].item->pen().width(), 2);
    QCOMPARE(tab_->shapes_on_screen()[1].item->pen().color(), QColor("#FF0000"));  // class 1

    test::find<InteractiveCanvas>(*tab_, "canvas")->clearSelection();
    tab_->shapes_on_screen()[0].item->setSelected(true);
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->currentRow(), 0);
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(tab_->shapes_on_screen()[0].item->pen().width(), 4);
    QCOMPARE(tab_->shapes_on_screen()[1].item->pen().width(), 2);

    // Several shapes selected in the scene: only the first selected item gets its row.
    tab_->shapes_on_screen()[1].item->setSelected(true);
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->selectionModel()->selectedRows().size(), 1);
    const int first =
        test::find<InteractiveCanvas>(*tab_, "canvas")->selectedItems().first() == tab_->shapes_on_screen()[0].item ? 0
                                                                                                                    : 1;
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->currentRow(), first);
  }

  void deleting_the_last_shape_removes_the_label_file() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    test::find<QTableWidget>(*tab_, "table_objects")->setCurrentCell(-1, -1);
    tab_->ann_delete_selected();  // no current row: nothing
    draw(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), "a");
    draw(QPolygonF({{20, 20}, {30, 20}, {30, 30}}), "b");
    test::find<QTableWidget>(*tab_, "table_objects")->setCurrentCell(0, 0);
    tab_->ann_delete_selected();
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
    QCOMPARE(tab_->shapes_on_screen()[0].label, QString("b"));
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->item(0, 0)->text(), QString("b"));
    QCOMPARE(top_level_items(test::find<InteractiveCanvas>(*tab_, "canvas")), 2);  // the picture and one shape
    QVERIFY(test::file_exists(path("B.txt")));
    test::find<QTableWidget>(*tab_, "table_objects")->setCurrentCell(0, 0);
    tab_->ann_delete_selected();
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::file_exists(path("B.txt")));
    QCOMPARE(test::find<QListWidget>(*tab_, "list_images")->item(0)->text(), QString("[  ] B.PNG"));
  }

  void copying_the_previous_frame() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab_->switch_label_kind(LabelKind::Polygons);  // rectangles as four-point polygons
    QVERIFY(test::settle_window_work());
    tab_->copy_previous_frame_shapes();
    QCOMPARE(prompts_->messages.size(), 1);
    QCOMPARE(prompts_->messages[0].title, QString("Unavailable"));
    QCOMPARE(prompts_->messages[0].text, QString("No previous image available to copy annotations from."));

    // B.PNG (50 x 50) gets a shape; img1.png (200 x 100) copies it at the same relative place.
    draw(QPolygonF({{10, 10}, {40, 10}, {40, 40}, {10, 40}}), "a", "Rectangle");
    test::write_text(path("B.txt"), test::read_text(path("B.txt")) + "9 0.1 0.1 0.2 0.2 0.3 0.3\n");
    tab_->next_image();
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {5, 0}, {5, 5}}), "a");
    tab_->copy_previous_frame_shapes();
    QCOMPARE(tab_->shapes_on_screen().size(), 1);  // replaced, and the unknown class id skipped
    QCOMPARE(tab_->shapes_on_screen()[0].item->polygon()[2], QPointF(160, 80));
    QCOMPARE(top_level_items(test::find<InteractiveCanvas>(*tab_, "canvas")), 2);
    QCOMPARE(test::read_text(path("img1.txt")),
             QString("0 0.200000 0.200000 0.800000 0.200000 0.800000 0.800000 0.200000 0.800000\n"));

    // From an image without labels: the current image ends up empty and its file is gone.
    tab_->next_image();
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {5, 0}, {5, 5}}), "a");
    // A previous label file that cannot be read (a folder in its place) changes nothing here.
    QFile::remove(path("img1.txt"));
    QVERIFY(QDir(dir_->path()).mkdir("img1.txt"));
    tab_->copy_previous_frame_shapes();
    QVERIFY(!prompts_->messages.isEmpty());
    QCOMPARE(prompts_->messages.last().title, QString("Copy Previous Frame"));
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
    QVERIFY(QDir(dir_->path()).rmdir("img1.txt"));
    tab_->copy_previous_frame_shapes();
    QCOMPARE(tab_->shapes_on_screen().size(), 0);
    QVERIFY(!test::file_exists(path("img2.txt")));
  }

  // A folder without labels: a rectangle is a box line (the first shape settles the kind), the
  // shape just drawn is the picked one, and a number where the folder has names is asked about.
  // Pictures are decoded beside the window: the call returns before the picture is shown, and
  // keys pressed meanwhile all count (three steps are three pictures on).
  void steps_taken_while_a_picture_is_decoded_all_count() {
    QTemporaryDir dir;
    for (int i = 0; i < 6; ++i)
      test::write_noise_image(QDir(dir.path()).filePath(QStringLiteral("p%1.png").arg(i)), 1600, 1200, i);
    AnnotatorTab tab;
    tab.open_folder(dir.path());
    // The folder is read beside the window too; once it is listed, its first picture is decoded.
    QVERIFY(tab.queue().isEmpty());
    while (tab.queue().isEmpty() && work_beside_window_in_flight() > 0) QCoreApplication::processEvents();
    QCOMPARE(tab.queue().size(), 6);
    QVERIFY(work_beside_window_in_flight() > 0);  // the first picture is still being decoded
    for (int i = 0; i < 3; ++i) tab.next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().current(), 3);
    QCOMPARE(test::find<QListWidget>(tab, "list_images")->currentRow(), 3);
    QCOMPARE(tab.picture().cols, 1600);
    // Back to the picture on screen while another is decoded: the other is not shown.
    tab.next_image();
    tab.jump_to_image(3);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().current(), 3);
  }

  // The queue without widgets: what opening a folder of the engine's layout reads (labels in
  // the sibling labels/ folder, a background's empty file, a picture without labels, the class
  // names and kind from data.yaml), and where steps go while a picture is decoded.
  void the_queue_reads_a_folder_and_steps_without_widgets() {
    QTemporaryDir root;
    const QDir dir(root.path());
    QVERIFY(dir.mkpath("images/train") && dir.mkpath("labels/train") && dir.mkpath("empty"));
    for (const char* name : {"c.jpg", "a.png", "b.PNG"})
      test::write_image(dir.filePath(QStringLiteral("images/train/") + name), 8, 8);
    test::write_text(dir.filePath("labels/train/a.txt"), "1 0.5 0.5 0.2 0.2\n");
    test::write_text(dir.filePath("labels/train/b.txt"), "");
    test::write_text(dir.filePath("data.yaml"), "path: .\ntrain: images/train\nval: images/train\nnames: [cat, dog]\n");

    const FolderListing listing = list_folder(dir.filePath("images/train"));
    QCOMPARE(listing.label_folder, dir.filePath("labels/train"));
    QCOMPARE(listing.paths, QStringList({dir.filePath("images/train/a.png"), dir.filePath("images/train/b.PNG"),
                                         dir.filePath("images/train/c.jpg")}));
    QCOMPARE(listing.marks, QVector<LabelMark>({LabelMark::Annotated, LabelMark::Background, LabelMark::Pending}));
    QCOMPARE(listing.classes.names, QStringList({"cat", "dog"}));
    QCOMPARE(listing.kind, std::optional<LabelKind>(LabelKind::Boxes));
    QVERIFY(listing.splits.isEmpty());

    PictureQueue queue;
    queue.open(listing);
    QCOMPARE(queue.progress_text(), QString("Annotated: 2 / 3"));
    QCOMPARE(queue.entry_text(2), status_mark(LabelMark::Pending) + "c.jpg");
    QCOMPARE(queue.label_path_of(queue.path(2)), dir.filePath("labels/train/c.txt"));
    QCOMPARE(queue.previous(), -1);
    // Steps taken while a picture is decoded go on from it; only the last one asked is shown.
    const int first = queue.ask(queue.next());
    const int second = queue.ask(queue.next());
    QCOMPARE(queue.origin(), 2);
    QVERIFY(!queue.is_latest(first) && queue.is_latest(second));
    QCOMPARE(queue.next(), -1);
    queue.shown(2);
    QCOMPARE(queue.neighbours(2, 0), QStringList({queue.path(1)}));
    QCOMPARE(queue.neighbours(1, 2), QStringList({queue.path(0), queue.path(2)}));  // travelling back
    // Back to the picture on screen: the one being decoded is dropped.
    const int third = queue.ask(queue.previous());
    queue.drop_asked();
    QVERIFY(!queue.is_latest(third));
    QCOMPARE(queue.origin(), 2);
    queue.set_mark(2, LabelMark::Annotated);
    QCOMPARE(queue.progress_text(), QString("Annotated: 3 / 3"));

    // A folder without pictures inside the dataset: the manifest's split folder is offered.
    const FolderListing empty = list_folder(dir.filePath("empty"));
    QVERIFY(empty.paths.isEmpty());
    QCOMPARE(empty.splits, QStringList({dir.filePath("images/train")}));
    QCOMPARE(empty.split_manifest, dir.filePath("data.yaml"));
  }

  // Auto-labelling without widgets: a segmentation model's masks are polygons in a polygon folder
  // and their bounding boxes in a box folder; a class name is cleaned before it is asked for, and
  // the model's own names stand in for those the prediction lacks.
  void predicted_shapes_follow_the_folder_and_the_names() {
    Prediction prediction;
    prediction.boxes = {{0, 10, 10, 50, 40, 0.9}, {3, 60, 10, 90, 30, 0.8}};
    prediction.masks =
        QVector<QPolygonF>{QPolygonF({{10, 10}, {50, 12}, {30, 40}}), QPolygonF({{60, 10}, {90, 30}, {70, 30}})};
    prediction.names = {{0, "road\nsign"}};
    QStringList asked;
    const auto class_for = [&](const QString& name) {
      asked << name;
      return static_cast<int>(asked.size()) - 1;
    };
    const QVector<Annotation> polygons = predicted_shapes(prediction, {{3, "car"}}, class_for, LabelKind::Polygons);
    QCOMPARE(asked, QStringList({"road sign", "car"}));
    QCOMPARE(polygons.size(), 2);
    QCOMPARE(polygons[0].points, (*prediction.masks)[0]);
    QCOMPARE(polygons[1].class_id, 1);
    QVERIFY(!polygons[0].is_box());
    const QVector<Annotation> boxes = predicted_shapes(prediction, {}, class_for, LabelKind::Boxes);
    QVERIFY(boxes[0].is_box());
    QCOMPARE(boxes[0].points.boundingRect(), QRectF(10, 10, 40, 30));
    QCOMPARE(asked.last(), QString("3"));  // no name anywhere: its number
    QVERIFY(auto_label_summary(2, true, 1).contains("bounding box"));
    QVERIFY(auto_label_summary(2, false, 1).contains(dropped_text(1)));
  }

  void a_new_folder_takes_rectangles_as_boxes() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: none yet (rectangles as boxes)"));
    draw(QPolygonF({{10, 10}, {40, 10}, {40, 30}, {10, 30}}), "car", "Rectangle");
    QCOMPARE(test::read_text(path("B.txt")), QString("0 0.500000 0.400000 0.600000 0.400000\n"));
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: Boxes"));
    QCOMPARE(test::find<InteractiveCanvas>(*tab_, "canvas")->selectedItems(),
             QList<QGraphicsItem*>({tab_->shapes_on_screen()[0].item}));
    QCOMPARE(test::find<QTableWidget>(*tab_, "table_objects")->currentRow(), 0);

    // Enter relabels the picked shape: "5" with one class named is asked about, never an id.
    prompts_->dialogs.push_back(test::answer_label("5"));
    prompts_->choices = {1};  // Cancel
    tab_->handle_edit_key(Qt::Key_Return);
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("New Class"));
    QCOMPARE(test::read_text(path("B.txt")), QString("0 0.500000 0.400000 0.600000 0.400000\n"));
    QCOMPARE(tab_->class_names(), QStringList({"car"}));
    prompts_->dialogs.push_back(test::answer_label("5"));
    prompts_->choices = {0};  // Add "5": a class with that name
    tab_->handle_edit_key(Qt::Key_Return);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->class_names(), QStringList({"car", "5"}));
    QCOMPARE(test::read_text(path("classes.txt")), QString("car\n5\n"));
    QCOMPARE(test::read_text(path("B.txt")), QString("1 0.500000 0.400000 0.600000 0.400000\n"));

    // Where a polygon comes first, the folder is a polygon folder: a rectangle there is one too.
    QTemporaryDir other;
    test::write_image(other.filePath("a.png"), 100, 100);
    test::write_image(other.filePath("b.png"), 100, 100);
    tab_->open_folder(other.path());
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{10, 10}, {50, 10}, {30, 40}}), "car");
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: Polygons"));
    tab_->next_image();
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{10, 10}, {50, 10}, {50, 50}, {10, 50}}), "car", "Rectangle");
    QCOMPARE(test::read_text(other.filePath("b.txt")),
             QString("0 0.100000 0.100000 0.500000 0.100000 0.500000 0.500000 0.100000 0.500000\n"));
  }

  void failed_write_warns_and_keeps_everything() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), "a");
    const QString before = test::read_text(path("B.txt"));
    if (!test::make_unwritable(dir_->path())) QSKIP("this folder cannot be made unwritable here");
    draw(QPolygonF({{20, 20}, {30, 20}, {30, 30}}), "b");  // a new class: classes.txt fails too
    test::make_writable(dir_->path());
    QCOMPARE(tab_->shapes_on_screen().size(), 2);
    QCOMPARE(top_level_items(test::find<InteractiveCanvas>(*tab_, "canvas")), 3);
    QCOMPARE(test::read_text(path("B.txt")), before);
    QCOMPARE(test::read_text(path("classes.txt")), QString("a\n"));
    QVERIFY(prompts_->messages.size() >= 2);
    for (const auto& shown : prompts_->messages) {
      QCOMPARE(shown.kind, MessageKind::Warning);
      QCOMPARE(shown.title, QString("Save Failed"));
    }
    QVERIFY(prompts_->messages.last().text.contains("B.txt"));
    QVERIFY(QDir(dir_->path()).entryList({"*.txt.*", "*~"}, QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(test::saved(*tab_));  // writable again: the shapes reach the file
    QCOMPARE(test::read_text(path("B.txt")).count('\n'), 2);
  }

  void unreadable_image_never_gets_another_images_shapes() {
    test::write_text(path("img1.png"), "garbage, not a picture");
    test::write_text(path("img2.jpg"), "garbage too");
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), "a");
    QSignalSpy notices(tab_.get(), &AnnotatorTab::notice_signal);
    tab_->next_image();  // nothing readable after this one: it stays
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().current(), 0);
    QCOMPARE(test::find<QListWidget>(*tab_, "list_images")->currentRow(), 0);
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
    QVERIFY(notices.count() >= 1);
    QVERIFY(notices.last()[0].toString().contains("img1.png"));
    QVERIFY(notices.last()[0].toString().contains("img2.jpg"));
    test::write_image(path("img2.jpg"), 40, 20);
    test::find<QListWidget>(*tab_, "list_images")->setCurrentRow(1);  // clicked in the list: the row goes back
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QListWidget>(*tab_, "list_images")->currentRow(), 0);
    test::saved(*tab_);
    QVERIFY(!test::file_exists(path("img1.txt")));
    test::find<QListWidget>(*tab_, "list_images")->setCurrentRow(2);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().current(), 2);

    // A folder whose first image is unreadable shows nothing that could be saved into it.
    QTemporaryDir other;
    test::write_text(other.filePath("a.jpg"), "broken");
    tab_->open_folder(other.path());
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->shapes_on_screen().isEmpty());
    QVERIFY(tab_->picture().empty());
    test::saved(*tab_);
    QVERIFY(!QFileInfo::exists(other.filePath("a.txt")));
  }

  void loading_another_folder_saves_first() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    draw(QPolygonF({{0, 0}, {10, 0}, {10, 10}}), "a");
    tab_->shapes_on_screen()[0].item->setPos(20, 0);
    emit test::find<InteractiveCanvas>(*tab_, "canvas")->items_moved_signal();
    QTemporaryDir other;
    tab_->open_folder(other.path());  // no images: the canvas keeps its picture
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_text(path("B.txt")), QString("0 0.400000 0.000000 0.600000 0.000000 0.600000 0.200000\n"));
  }

  void label_dialog_offers_the_last_choice() {
    LabelDialog dialog({"car", "person"}, "person");
    QCOMPARE(dialog.windowTitle(), QString("Assign Target Class"));
    QCOMPARE(dialog.combo->currentText(), QString("person"));
    LabelDialog unknown({"car", "person"}, "bus");
    QCOMPARE(unknown.combo->currentText(), QString("car"));
    LabelDialog empty({}, "bus");
    QCOMPARE(empty.get_label(), QString());
    unknown.combo->setCurrentText(" Car ");
    QCOMPARE(unknown.get_label(), QString("Car"));
  }
};

QTEST_MAIN(TestAnnotator)
#include "test_annotator.moc"

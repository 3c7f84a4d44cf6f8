// Editing on the annotator: undo and redo of every edit, per-image history, keys, hidden
// classes, confirmed backgrounds and the neighbour prefetch.
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QtTest>

#include "annotate/annotator_tab.h"
#include "annotate/image_prefetch.h"
#include "annotate/label_dialog.h"
#include "app/quorlan_studio.h"
#include "core/atomic_file.h"
#include "dataset/dataset_qa.h"
#include "dataset/split_export.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"

using namespace quorlan;

namespace {

const QPolygonF kTriangle({{20, 20}, {80, 20}, {50, 60}});

}  // namespace

class TestAnnotatorEditing : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

  QString path(const QString& name) const { return dir_->filePath(name); }
  QString label(const QString& name) const { return test::read_text(path(name)); }

  // A folder of a.png and b.png (200 x 100), classes car and dog; a.txt holds one car.
  void two_images() {
    test::write_image(path("a.png"), 200, 100);
    test::write_image(path("b.png"), 200, 100);
    test::write_text(path("classes.txt"), "car\ndog\n");
    test::write_text(path("a.txt"), "0 0.1 0.1 0.4 0.1 0.4 0.5\n");
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
  }

  void every_edit_undoes_and_redoes_on_screen_and_on_disk() {
    two_images();
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "lbl_progress")->text(), QString("Annotated: 1 / 2"));

    // Copy previous frame, then add, move, vertex edit, relabel: each one step.
    tab.copy_previous_frame_shapes();
    const QString copied = label("b.txt");
    QCOMPARE(copied, QString("0 0.100000 0.100000 0.400000 0.100000 0.400000 0.500000\n"));
    QCOMPARE(test::find<QLabel>(tab, "lbl_progress")->text(), QString("Annotated: 2 / 2"));
    prompts_->dialogs.push_back(test::answer_label("dog"));
    emit test::find<InteractiveCanvas>(tab, "canvas")->polygon_completed(kTriangle);
    const QString added = label("b.txt");
    tab.shapes_on_screen()[1].item->moveBy(20, 0);
    emit test::find<InteractiveCanvas>(tab, "canvas")->items_moved_signal();
    const QString moved = label("b.txt");
    QVERIFY(moved != added);
    const QPolygonF reshaped({{40, 20}, {100, 20}, {70, 90}, {40, 60}});
    tab.shapes_on_screen()[1].item->set_scene_points(reshaped);
    emit test::find<InteractiveCanvas>(tab, "canvas")->shape_edited(tab.shapes_on_screen()[1].item, reshaped);
    const QString edited = label("b.txt");
    QVERIFY(edited.section('\n', 1, 1).startsWith("1 0.200000 0.200000 0.500000 0.200000 0.350000 0.900000"));
    prompts_->dialogs.push_back(test::answer_label("car"));
    tab.relabel_shape(1);
    const QString relabelled = label("b.txt");
    QVERIFY(relabelled.section('\n', 1, 1).startsWith("0 "));
    QCOMPARE(tab.history()->count(), 5);

    // Deleting both shapes removes the file; undoing the last delete brings it back.
    test::find<InteractiveCanvas>(tab, "canvas")->clearSelection();
    tab.shapes_on_screen()[0].item->setSelected(true);
    tab.shapes_on_screen()[1].item->setSelected(true);
    tab.handle_edit_key(Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::file_exists(path("b.txt")));
    QCOMPARE(test::find<QLabel>(tab, "lbl_img_status")->text(), QString("STATUS: PENDING"));
    tab.undo();
    QCOMPARE(label("b.txt"), relabelled);
    QCOMPARE(test::find<QLabel>(tab, "lbl_img_status")->text(), QString("STATUS: ANNOTATED"));
    QCOMPARE(tab.shapes_on_screen().size(), 2);
    QCOMPARE(test::find<QTableWidget>(tab, "table_objects")->rowCount(), 2);

    for (const QString& expected : {edited, moved, added, copied}) {
      tab.undo();
      QCOMPARE(label("b.txt"), expected);
    }
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    tab.undo();  // before the copy: no shapes, no file
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::file_exists(path("b.txt")));
    QVERIFY(!test::find<QPushButton>(tab, "btn_undo")->isEnabled());
    for (const QString& expected : {copied, added, moved, edited, relabelled}) {
      tab.redo();
      QCOMPARE(label("b.txt"), expected);
    }
    QCOMPARE(tab.shapes_on_screen()[1].label, QString("car"));
    QCOMPARE(test::find<QTableWidget>(tab, "table_objects")->item(1, 0)->text(), QString("car"));
    tab.redo();
    QVERIFY(!test::file_exists(path("b.txt")));
    QVERIFY(test::find<QPushButton>(tab, "btn_undo")->isEnabled() &&
            !test::find<QPushButton>(tab, "btn_redo")->isEnabled());

    // A confirmed background: an empty file, its own mark, undone like any edit.
    tab.confirm_empty();
    QVERIFY(test::file_exists(path("b.txt")));
    QCOMPARE(QFileInfo(path("b.txt")).size(), 0);
    QCOMPARE(test::find<QListWidget>(tab, "list_images")->item(1)->text(), QString("[∅] b.png"));
    QCOMPARE(test::find<QLabel>(tab, "lbl_progress")->text(), QString("Annotated: 2 / 2"));
    tab.undo();
    QVERIFY(!test::file_exists(path("b.txt")));
    QCOMPARE(test::find<QListWidget>(tab, "list_images")->item(1)->text(), QString("[  ] b.png"));
    QCOMPARE(test::find<QLabel>(tab, "lbl_progress")->text(), QString("Annotated: 1 / 2"));
    tab.redo();
    QCOMPARE(QFileInfo(path("b.txt")).size(), 0);

    // A shape on a background makes it an annotated image; deleting it leaves it pending.
    prompts_->dialogs.push_back(test::answer_label("car"));
    emit test::find<InteractiveCanvas>(tab, "canvas")->polygon_completed(kTriangle);
    tab.shapes_on_screen()[0].item->setSelected(true);
    tab.handle_edit_key(Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::file_exists(path("b.txt")));

    // Confirming an image with objects is refused with a reason.
    tab.prev_image();
    QVERIFY(test::settle_window_work());
    tab.confirm_empty();
    QCOMPARE(prompts_->messages.last().title, QString("Confirm No Objects"));
    QCOMPARE(QFileInfo(path("a.txt")).size(), 26);
  }

  void history_is_kept_per_image_and_dropped_when_the_file_changed_elsewhere() {
    two_images();
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    const QString a_before = label("a.txt");
    tab.add_annotation(kTriangle, "dog", "Polygon");
    tab.next_image();
    QVERIFY(test::settle_window_work());
    tab.add_annotation(kTriangle, "car", "Polygon");
    tab.prev_image();
    QVERIFY(test::settle_window_work());
    tab.undo();  // a's own step, not b's
    QCOMPARE(label("a.txt"), a_before);
    QCOMPARE(label("b.txt").count('\n'), 1);
    tab.next_image();
    QVERIFY(test::settle_window_work());
    tab.undo();
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::file_exists(path("b.txt")));
    tab.redo();
    QVERIFY(test::file_exists(path("b.txt")));

    // Another program rewrites b.txt while a is shown: b's history no longer applies.
    tab.prev_image();
    QVERIFY(test::settle_window_work());
    test::write_text(path("b.txt"), "1 0.5 0.5 0.9 0.5 0.9 0.9\n");
    tab.next_image();
    QVERIFY(test::settle_window_work());
    QVERIFY(!tab.history()->canUndo());
    tab.undo();
    QCOMPARE(label("b.txt"), QString("1 0.5 0.5 0.9 0.5 0.9 0.9\n"));
  }

  void keys_work_on_the_annotator_tab_only_and_never_while_typing() {
    two_images();
    test::write_image(path("c.png"), 200, 100);
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    AnnotatorTab* tab = window.tab_workspace;
    tab->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    window.tabs->setCurrentWidget(tab);
    QWidget* bar = window.tabs->tabBar();
    bar->setFocus();

    QTest::keyClick(bar, Qt::Key_D);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->queue().current(), 1);
    QTest::keyClick(bar, Qt::Key_Right);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->queue().current(), 2);
    QTest::keyClick(bar, Qt::Key_A);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(bar, Qt::Key_Left);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->queue().current(), 0);
    QTest::keyClick(bar, Qt::Key_R);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QComboBox>(*tab, "combo_mode")->currentText(), QString("Rectangle"));
    QTest::keyClick(bar, Qt::Key_S);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QComboBox>(*tab, "combo_mode")->currentText(), QString("Select/Move"));
    QVERIFY(test::find<QComboBox>(*tab, "combo_mode")->toolTip().contains("G: Pentagon"));

    QTest::keyClick(bar, Qt::Key_D);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(bar, Qt::Key_D, Qt::ControlModifier);  // copy previous frame
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->shapes_on_screen().size(), 1);
    QTest::keyClick(bar, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->shapes_on_screen().size(), 0);
    QTest::keyClick(bar, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->shapes_on_screen().size(), 1);
    QTest::keyClick(bar, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(bar, Qt::Key_Y, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->shapes_on_screen().size(), 1);
    QVERIFY(test::file_exists(path("b.txt")));

    // In a number field the letters and arrows are the field's.
    test::find<QDoubleSpinBox>(*tab, "spin_ai_conf")->setFocus();
    QTest::keyClick(test::find<QDoubleSpinBox>(*tab, "spin_ai_conf"), Qt::Key_D);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(test::find<QDoubleSpinBox>(*tab, "spin_ai_conf"), Qt::Key_Right);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->queue().current(), 1);

    // On another tab the keys do nothing to the annotator.
    window.tabs->setCurrentIndex(1);
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_D);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(bar, Qt::Key_E);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(bar, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->queue().current(), 1);
    QCOMPARE(tab->shapes_on_screen().size(), 1);

    // The label dialog: 1-9 pick the n-th class before anything is typed.
    LabelDialog pick({"car", "dog", "cat"});
    QTest::keyClick(pick.combo, Qt::Key_2);  // the combo holds the focus
    QVERIFY(test::settle_window_work());
    QCOMPARE(pick.result(), int(QDialog::Accepted));
    QCOMPARE(pick.get_label(), QString("dog"));
    LabelDialog typed({"car", "dog", "cat"});
    QTest::keyClicks(typed.combo, "x2");
    QCOMPARE(typed.get_label(), QString("x2"));
    QCOMPARE(typed.result(), int(QDialog::Rejected));
    LabelDialog unnamed(QStringList{});
    QTest::keyClick(unnamed.combo, Qt::Key_3);  // ids without names are typed
    QVERIFY(test::settle_window_work());
    QCOMPARE(unnamed.get_label(), QString("3"));
  }

  void hidden_classes_stay_hidden_and_are_saved_unchanged() {
    two_images();
    test::write_text(path("b.txt"), "0 0.1 0.1 0.4 0.1 0.4 0.5\n1 0.5 0.1 0.9 0.1 0.9 0.9\n");
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QListWidget>(tab, "list_classes")->count(), 2);
    QCOMPARE(test::find<QListWidget>(tab, "list_classes")->item(1)->text(), QString("dog"));
    test::find<QListWidget>(tab, "list_classes")->item(0)->setCheckState(Qt::Unchecked);  // hide "car"
    QVERIFY(!tab.shapes_on_screen()[0].item->isVisible());
    tab.next_image();
    QVERIFY(test::settle_window_work());
    QVERIFY(!tab.shapes_on_screen()[0].item->isVisible());
    QVERIFY(test::find<QTableWidget>(tab, "table_objects")->isRowHidden(0));
    QVERIFY(tab.shapes_on_screen()[1].item->isVisible());
    // A hidden shape cannot be selected, so the delete key leaves it.
    tab.shapes_on_screen()[0].item->setSelected(true);
    QVERIFY(!tab.shapes_on_screen()[0].item->isSelected());
    tab.shapes_on_screen()[1].item->setSelected(true);
    tab.shapes_on_screen()[1].item->moveBy(-20, 0);
    emit test::find<InteractiveCanvas>(tab, "canvas")->items_moved_signal();
    QCOMPARE(label("b.txt").section('\n', 0, 0), QString("0 0.1 0.1 0.4 0.1 0.4 0.5"));
    tab.handle_edit_key(Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QCOMPARE(label("b.txt"), QString("0 0.1 0.1 0.4 0.1 0.4 0.5\n"));
    tab.set_class_hidden(0, false);
    QVERIFY(tab.shapes_on_screen()[0].item->isVisible());
    QCOMPARE(test::find<QListWidget>(tab, "list_classes")->item(0)->checkState(), Qt::Checked);
  }

  void confirmed_background_is_counted_and_exported() {
    two_images();
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.next_image();
    QVERIFY(test::settle_window_work());
    tab.confirm_empty();
    test::await_writes();
    const QaFindings findings = examine_dataset_quality(dir_->path(), {"car", "dog"}, 640);
    QCOMPARE(findings.background, 1);
    const QVector<ImageLabelPair> pairs = collect_annotated_pairs({path("a.png"), path("b.png")});
    QCOMPARE(pairs.size(), 2);
    const Expected<ExportResult> result =
        export_dataset(pairs, {2, 0, 0}, path("out"), LabelFormat::Segmentation, {"car", "dog"});
    QVERIFY2(result.ok(), qPrintable(result.error()));
    QVERIFY(test::file_exists(path("out/train/labels/b.txt")));
    QCOMPARE(QFileInfo(path("out/train/labels/b.txt")).size(), 0);

    // Read back, the empty file is a background on screen too.
    AnnotatorTab reread;
    reread.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QListWidget>(reread, "list_images")->item(1)->text(), QString("[∅] b.png"));
    reread.next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(reread, "lbl_img_status")->text(), QString("STATUS: NO OBJECTS (BACKGROUND)"));
  }

  void prefetch_never_shows_a_stale_image() {
    test::write_image(path("a.png"), 200, 100);
    test::write_image(path("b.png"), 300, 100);
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    // b.png is decoded in the background now; then another program replaces it.
    QTest::qWait(200);
    test::write_image(path("new.png"), 120, 90);
    QVERIFY(QFile::remove(path("b.png")) && QFile::rename(path("new.png"), path("b.png")));
    tab.next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.picture().cols, 120);

    // The prefetched decode is handed out once; a file rewritten since is decoded again.
    std::atomic<int> decodes{0};
    ImagePrefetch prefetch([&](const QString& file) {
      ++decodes;
      return decode_for_canvas(file);
    });
    prefetch.keep_only({path("a.png")});
    const DecodedImage ready = prefetch.decode(path("a.png")).result();
    QVERIFY(ready.bgr.cols == 200 && ready.image.width() == 200);
    QCOMPARE(decodes.load(), 1);
    QCOMPARE(prefetch.decode(path("a.png")).result().bgr.cols, 200);
    QCOMPARE(decodes.load(), 2);  // taken once: the second is a decode of its own
    prefetch.keep_only({path("a.png")});
    QTest::qWait(100);
    test::write_image(path("a.png"), 64, 64);  // rewritten in place
    QCOMPARE(prefetch.decode(path("a.png")).result().bgr.cols, 64);

    // Another folder with the same file names: nothing of the first one is shown.
    QTemporaryDir other;
    test::write_image(QDir(other.path()).filePath("a.png"), 40, 30);
    test::write_image(QDir(other.path()).filePath("b.png"), 50, 30);
    tab.open_folder(other.path());
    QVERIFY(test::settle_window_work());
    tab.next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.picture().cols, 50);
  }
};

QTEST_MAIN(TestAnnotatorEditing)
#include "test_annotator_editing.moc"

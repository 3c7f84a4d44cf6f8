// Browsing, checking and closing never rewrite a label file; edits keep what cannot be shown.
#include <sys/stat.h>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <map>

#include "annotate/annotator_tab.h"
#include "annotate/label_dialog.h"
#include "app/quorlan_studio.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"

using namespace quorlan;

namespace {

// Every file of a folder tree with its bytes.
std::map<QString, QByteArray> snapshot(const QString& root) {
  std::map<QString, QByteArray> files;
  QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    files[path] = test::read_bytes(path);
  }
  return files;
}

}  // namespace

class TestLabelIntegrity : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;

  // a.png with one "car" rectangle in a.txt.
  static void one_car_folder(const QTemporaryDir& dir) {
    test::write_image(dir.filePath("a.png"), 100, 100);
    test::write_text(dir.filePath("classes.txt"), "car\n");
    test::write_text(dir.filePath("a.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
  }

 private slots:
  void init() { prompts_ = ScriptedPrompts::install(); }

  void engine_dataset_is_never_rewritten_by_browsing_checking_or_closing() {
    // Laid out for the engine by another tool: names in data.yaml, labels beside images/.
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("train/images");
    QDir(dir.path()).mkpath("train/labels");
    test::write_text(dir.filePath("data.yaml"),
                     "path: .\ntrain: train/images\nval: train/images\nnames:\n  0: car\n  1: bus\n");
    const QString images = dir.filePath("train/images");
    for (const char* name : {"a", "b", "c"}) test::write_image(images + "/" + name + ".jpg", 64, 48);
    test::write_text(dir.filePath("train/labels/a.txt"), "0 0.5 0.5 0.25 0.5\r\n1 0.1 0.1 0.3 0.1 0.3 0.3\r\n");
    test::write_text(dir.filePath("train/labels/b.txt"), "1 0.50 0.5 0.2 0.2\n5 0.1 0.1 0.2 0.2 0.3 0.3\nx y\n");
    test::write_text(dir.filePath("train/labels/c.txt"), "");
    const auto before = snapshot(dir.path());

    auto window = std::make_unique<QuorlanStudio>();
    AnnotatorTab* tab = window->tab_workspace;
    tab->open_folder(images);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->class_names(), QStringList({"car", "bus"}));
    QCOMPARE(tab->queue().label_folder(), dir.filePath("train/labels"));
    QCOMPARE(tab->shapes_on_screen().size(), 2);
    QCOMPARE(tab->shapes_on_screen()[0].label, QString("car"));
    QVERIFY(tab->shapes_on_screen()[0].shown.is_box());
    tab->next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->shapes_on_screen().size(), 1);  // the id past the names and the stray line are kept, not shown
    tab->next_image();
    QVERIFY(test::settle_window_work());
    tab->prev_image();
    QVERIFY(test::settle_window_work());
    tab->prev_image();
    QVERIFY(test::settle_window_work());
    test::saved(*tab);
    prompts_->dialogs.push_back([](QDialog&) { return QDialog::Rejected; });  // the split dialog, cancelled
    test::find<QPushButton>(*tab, "primaryBtn")->click();
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->dialogs.empty());  // the window heard the button and opened the split dialog
    test::find<QPushButton>(*tab, "btn_health_check")->click();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Health Check"));
    test::find<QPushButton>(*tab, "btn_analytics")->click();
    QVERIFY(test::settle_window_work());
    window->close();
    window.reset();
    QVERIFY(snapshot(dir.path()) == before);
  }

  // The engine's split layout (images/train, labels/train): labels are read and written where the
  // engine looks, and a class the user adds is kept beside the pictures, data.yaml left as it is and
  // named once.
  void a_new_class_in_an_engine_dataset_leaves_its_manifest_and_says_so() {
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("images/train");
    QDir(dir.path()).mkpath("labels/train");
    const QString manifest = "path: .\ntrain: images/train\nval: images/train\nnames: [car, bus]  # kept\n";
    test::write_text(dir.filePath("data.yaml"), manifest);
    test::write_image(dir.filePath("images/train/a.jpg"), 100, 100);
    test::write_text(dir.filePath("labels/train/a.txt"), "1 0.5 0.5 0.2 0.2\n");

    AnnotatorTab tab;
    tab.open_folder(dir.filePath("images/train"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().label_folder(), dir.filePath("labels/train"));
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    QCOMPARE(test::find<QLabel>(tab, "lbl_label_kind")->text(), QString("Labels: Boxes"));
    const int told = static_cast<int>(prompts_->messages.size());
    test::find<QComboBox>(tab, "combo_mode")->setCurrentText("Polygon");
    prompts_->choices = {0};  // a polygon in a box folder: "Save as Box", asked once
    for (const char* name : {"dog", "person"}) {
      prompts_->dialogs.push_back(test::answer_label(name));
      emit test::find<InteractiveCanvas>(tab, "canvas")->polygon_completed(QPolygonF({{10, 10}, {40, 10}, {40, 40}}));
    }
    QVERIFY(test::saved(tab));
    QCOMPARE(test::read_text(dir.filePath("images/train/classes.txt")), QString("car\nbus\ndog\nperson\n"));
    QCOMPARE(test::read_text(dir.filePath("data.yaml")), manifest);
    const QStringList lines = test::read_text(dir.filePath("labels/train/a.txt")).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[1], QString("2 0.250000 0.250000 0.300000 0.300000"));  // the polygons' boxes
    QCOMPARE(lines[2], QString("3 0.250000 0.250000 0.300000 0.300000"));
    QVERIFY(!QFileInfo::exists(dir.filePath("images/train/a.txt")));
    QCOMPARE(prompts_->messages.size(), told + 2);  // the box notice, then the manifest, once each
    QCOMPARE(prompts_->messages[told].title, QString("Box Labels"));
    QCOMPARE(prompts_->messages.last().title, QString("New Class"));
    QVERIFY(prompts_->messages.last().text.contains("data.yaml") &&
            prompts_->messages.last().text.contains("\"dog\" (id 2)"));
  }

  // A dataset's own folder has no pictures: the studio offers the split folders its manifest
  // names. An empty folder leaves nothing of the previous picture on screen, and says why.
  void a_dataset_folder_offers_its_splits_and_an_empty_one_shows_nothing() {
    QTemporaryDir dir;
    for (const char* split : {"images/train", "images/val", "labels/train", "labels/val", "empty"})
      QDir(dir.path()).mkpath(split);
    test::write_text(dir.filePath("data.yaml"), "path: .\ntrain: images/train\nval: images/val\nnames: [car]\n");
    test::write_image(dir.filePath("images/train/a.jpg"), 100, 100);
    test::write_image(dir.filePath("images/val/b.jpg"), 100, 100);
    test::write_text(dir.filePath("labels/train/a.txt"), "0 0.5 0.5 0.2 0.2\n");
    const auto before = snapshot(dir.path());

    AnnotatorTab tab;
    QSignalSpy notices(&tab, &AnnotatorTab::notice_signal);
    prompts_->choices = {0};
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Open a Split"));
    QCOMPARE(tab.queue().folder(), dir.filePath("images/train"));
    QCOMPARE(tab.shapes_on_screen().size(), 1);

    prompts_->choices = {2};  // Cancel: the dataset's folder itself, which has nothing to show
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().folder(), dir.path());
    QCOMPARE(tab.shapes_on_screen().size(), 0);
    QVERIFY(tab.picture().empty());
    QCOMPARE(notices.last().first().toString(), "No images in " + QDir::toNativeSeparators(dir.path()));
    QCOMPARE(test::find<QLabel>(tab, "lbl_img_status")->text(), QString("Status: Pending"));

    tab.open_folder(dir.filePath("images/train"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    const int asked = static_cast<int>(prompts_->messages.size());
    tab.open_folder(dir.filePath("empty"));  // inside the dataset: the splits are offered, the question closed
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.size(), asked + 1);
    QCOMPARE(tab.queue().folder(), dir.filePath("empty"));
    QCOMPARE(tab.shapes_on_screen().size(), 0);
    QVERIFY(tab.picture().empty());
    // A folder without names after one whose picture had shapes: none of their ids is listed.
    QTemporaryDir elsewhere;  // deep enough that no manifest above it is looked at
    QDir(elsewhere.path()).mkpath("a/b/c");
    tab.open_folder(dir.filePath("images/train"));
    QVERIFY(test::settle_window_work());
    tab.open_folder(elsewhere.filePath("a/b/c"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QListWidget>(tab, "list_classes")->count(), 0);
    QVERIFY(snapshot(dir.path()) == before);
  }

  void unknown_lines_survive_an_edit_in_their_order() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 100, 100);
    test::write_text(dir.filePath("classes.txt"), "car\n");
    const QByteArray original =
        "9 0.1 0.1 0.2 0.2 0.3 0.3\n0 0.1 0.1 0.5 0.1 0.5 0.5\n-1 0.1 0.1 0.2 0.2 0.3 0.3\n0 nan 0.1 0.2 0.2 0.3 "
        "0.3\n0 0.7 0.7 0.9 0.7 0.9 0.9\n3 oops\n";
    QFile file(dir.filePath("a.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(original);
    file.close();

    AnnotatorTab tab;
    QSignalSpy notices(&tab, &AnnotatorTab::notice_signal);
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 2);
    QVERIFY(notices.last()[0].toString().contains("4 line(s) of a.txt are kept but not shown"));
    test::saved(tab);
    QCOMPARE(test::read_bytes(dir.filePath("a.txt")), original);

    // Moving one shape rewrites that line; the untouched shape and every kept line stay as they were.
    tab.shapes_on_screen()[0].item->moveBy(10, 0);
    emit test::find<InteractiveCanvas>(tab, "canvas")->items_moved_signal();
    QVERIFY(test::saved(tab));
    QCOMPARE(test::read_bytes(dir.filePath("a.txt")),
             QByteArray("0 0.200000 0.100000 0.600000 0.100000 0.600000 0.500000\n0 0.7 0.7 0.9 0.7 0.9 0.9\n"
                        "9 0.1 0.1 0.2 0.2 0.3 0.3\n-1 0.1 0.1 0.2 0.2 0.3 0.3\n0 nan 0.1 0.2 0.2 0.3 0.3\n3 oops\n"));
    // Deleting every shown shape keeps the file for the kept lines.
    tab.shapes_on_screen()[0].item->setSelected(true);
    tab.shapes_on_screen()[1].item->setSelected(true);
    tab.handle_edit_key(Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_bytes(dir.filePath("a.txt")),
             QByteArray("9 0.1 0.1 0.2 0.2 0.3 0.3\n-1 0.1 0.1 0.2 0.2 0.3 0.3\n0 nan 0.1 0.2 0.2 0.3 0.3\n3 oops\n"));
  }

  void class_names_belong_to_the_folder_and_ids_to_their_positions() {
    QTemporaryDir named, plain;
    test::write_image(named.filePath("a.png"), 100, 100);
    test::write_text(named.filePath("classes.txt"), "car\nbus\ncar\n");
    test::write_text(named.filePath("a.txt"), "2 0.1 0.1 0.5 0.1 0.5 0.5\n");
    test::write_image(plain.filePath("p.png"), 100, 100);
    test::write_text(plain.filePath("p.txt"), "3 0.1 0.1 0.5 0.1 0.5 0.5\n");

    AnnotatorTab tab;
    tab.open_folder(named.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen()[0].label, QString("car"));
    QCOMPARE(tab.shapes_on_screen()[0].shown.class_id, 2);
    tab.shapes_on_screen()[0].item->moveBy(10, 0);
    emit test::find<InteractiveCanvas>(tab, "canvas")->items_moved_signal();
    QVERIFY(test::saved(tab));
    QVERIFY(test::read_text(named.filePath("a.txt")).startsWith("2 "));  // not 0, the first "car"

    // A folder without names: ids show as numbers, keep their numbers, and the old list is gone.
    tab.open_folder(plain.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.class_names(), QStringList());
    QCOMPARE(tab.shapes_on_screen()[0].label, QString("3"));
    tab.shapes_on_screen()[0].item->moveBy(10, 0);
    emit test::find<InteractiveCanvas>(tab, "canvas")->items_moved_signal();
    QVERIFY(test::saved(tab));
    QVERIFY(test::read_text(plain.filePath("p.txt")).startsWith("3 "));
    QVERIFY(!QFileInfo::exists(plain.filePath("classes.txt")));
    // The first class added names every id in use, so id 3 keeps its name "3".
    prompts_->dialogs.push_back(test::answer_label("dog"));
    emit test::find<InteractiveCanvas>(tab, "canvas")->polygon_completed(QPolygonF({{1, 1}, {20, 1}, {20, 20}}));
    QCOMPARE(test::read_text(plain.filePath("classes.txt")), QString("0\n1\n2\n3\ndog\n"));
    QCOMPARE(tab.shapes_on_screen()[1].shown.class_id, 4);

    // A name with a line break is refused by the dialog path.
    prompts_->dialogs.push_back(test::answer_label("two\nlines"));
    emit test::find<InteractiveCanvas>(tab, "canvas")->polygon_completed(QPolygonF({{1, 1}, {20, 1}, {20, 20}}));
    QCOMPARE(tab.shapes_on_screen().size(), 2);
    QCOMPARE(prompts_->messages.last().title, QString("Invalid Label"));
  }

  void label_dialog_typing_replaces_the_offered_name() {
    LabelDialog dialog({"car", "Car"}, "car");
    QCOMPARE(dialog.combo->lineEdit()->selectedText(), QString("car"));
    QTest::keyClicks(dialog.combo->lineEdit(), "bus");
    QCOMPARE(dialog.get_label(), QString("bus"));
    QCOMPARE(dialog.chosen_index(), -1);
    dialog.combo->setCurrentIndex(1);
    QCOMPARE(dialog.chosen_index(), 1);
    QCOMPARE(dialog.combo->completer()->caseSensitivity(), Qt::CaseSensitive);
  }

  void relabel_by_double_click() {
    QTemporaryDir dir;
    one_car_folder(dir);
    AnnotatorTab tab;
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QTableWidget>(tab, "table_objects")->editTriggers(), QAbstractItemView::NoEditTriggers);
    prompts_->dialogs.push_back(test::answer_label("truck"));
    emit test::find<QTableWidget>(tab, "table_objects")->cellDoubleClicked(0, 0);
    QCOMPARE(test::find<QTableWidget>(tab, "table_objects")->item(0, 0)->text(), QString("truck"));
    QCOMPARE(test::read_text(dir.filePath("classes.txt")), QString("car\ntruck\n"));
    QCOMPARE(test::read_text(dir.filePath("a.txt")),
             QString("1 0.100000 0.100000 0.500000 0.100000 0.500000 0.500000\n"));
  }

  void next_and_prev_step_over_unreadable_images() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 30, 30);
    test::write_text(dir.filePath("b.png"), "broken");
    test::write_text(dir.filePath("c.png"), "");
    test::write_image(dir.filePath("d.png"), 40, 40);
    AnnotatorTab tab;
    QSignalSpy notices(&tab, &AnnotatorTab::notice_signal);
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    tab.next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().current(), 3);
    QCOMPARE(test::find<QListWidget>(tab, "list_images")->currentRow(), 3);
    QVERIFY(notices.last()[0].toString().contains("b.png, c.png"));
    tab.prev_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().current(), 0);

    // A picture over the decode bound is refused by its header, with its size named.
    test::write_png_claiming(dir.filePath("e.png"), 30000, 30000);
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    tab.jump_to_image(4);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().current(), 0);
    QVERIFY2(notices.last()[0].toString().contains("30000 x 30000 pixels (900 megapixels)"),
             qPrintable(notices.last()[0].toString()));
  }

  void failed_save_asks_retry_discard_or_stay() {
    test::SmallDisk disk(256);
    if (!disk.ok()) QSKIP("a small tmpfs cannot be mounted here");
    const QString folder = disk.path();
    test::write_image(folder + "/a.png", 40, 40);
    test::write_image(folder + "/b.png", 40, 40);
    test::write_text(folder + "/classes.txt", "car\n");
    test::write_text(folder + "/a.txt", "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    const QByteArray old = test::read_bytes(folder + "/a.txt");

    auto window = std::make_unique<QuorlanStudio>();
    window->show();
    AnnotatorTab* tab = window->tab_workspace;
    tab->open_folder(folder);
    QVERIFY(test::settle_window_work());
    disk.fill();
    tab->shapes_on_screen()[0].item->moveBy(4, 0);
    emit test::find<InteractiveCanvas>(*tab, "canvas")->items_moved_signal();
    QVERIFY(!test::saved(*tab));  // the disk is full: the old file stays, the reason is said
    QCOMPARE(test::read_bytes(folder + "/a.txt"), old);
    QCOMPARE(prompts_->messages.last().title, QString("Save Failed"));
    QVERIFY(prompts_->messages.last().text.contains("No space left on device"));

    prompts_->choices = {2};  // Stay
    tab->next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab->queue().current(), 0);
    prompts_->choices = {2};
    window->close();
    QVERIFY(test::settle_window_work());
    QVERIFY(window->isVisible());                 // the close was cancelled
    QCOMPARE(tab->shapes_on_screen().size(), 1);  // the close was cancelled: the shapes are still here

    prompts_->choices = {0, 2};  // Retry (still full), then Stay
    int asked = prompts_->messages.size();
    tab->next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.size(), asked + 2);
    QCOMPARE(tab->queue().current(), 0);

    // Retry once the user has made room: the save goes through and the step happens.
    prompts_->choices = {0};
    prompts_->while_asking = [&] { QFile::remove(folder + "/.filler"); };
    tab->next_image();
    QVERIFY(test::settle_window_work());
    prompts_->while_asking = nullptr;
    QCOMPARE(tab->queue().current(), 1);
    QVERIFY(test::read_text(folder + "/a.txt").startsWith("0 0.200000"));

    // Discard on close: the change is dropped, the window closes, nothing is written.
    prompts_->dialogs.push_back(test::answer_label("car"));
    emit test::find<InteractiveCanvas>(*tab, "canvas")
        ->polygon_completed(QPolygonF({{1, 1}, {20, 1}, {20, 20}}));  // written: there is room
    QVERIFY(test::settle_window_work());
    QVERIFY(QFileInfo::exists(folder + "/b.txt"));
    const QByteArray b_before = test::read_bytes(folder + "/b.txt");
    disk.fill();
    tab->shapes_on_screen()[0].item->moveBy(3, 0);
    emit test::find<InteractiveCanvas>(*tab, "canvas")->items_moved_signal();
    prompts_->choices = {1};  // Discard
    window->close();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_bytes(folder + "/b.txt"), b_before);
    QVERIFY(!window->isVisible());
  }

  void another_programs_change_wins_the_race() {
    QTemporaryDir dir;
    one_car_folder(dir);
    AnnotatorTab tab;
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    QTest::qWait(20);
    test::write_text(dir.filePath("a.txt"), "0 0.2 0.2 0.6 0.2 0.6 0.6\n0 0.7 0.7 0.8 0.7 0.8 0.8\n");
    tab.shapes_on_screen()[0].item->moveBy(1, 0);
    emit test::find<InteractiveCanvas>(tab, "canvas")->items_moved_signal();
    prompts_->choices = {0};  // Reload
    QVERIFY(test::saved(tab));
    QCOMPARE(prompts_->messages.last().title, QString("Label File Changed"));
    QCOMPARE(tab.shapes_on_screen().size(), 2);
    QCOMPARE(test::read_text(dir.filePath("a.txt")), QString("0 0.2 0.2 0.6 0.2 0.6 0.6\n0 0.7 0.7 0.8 0.7 0.8 0.8\n"));

    // Created behind the studio's back while the image showed no file: asked too, then overwritten.
    test::write_image(dir.filePath("b.png"), 100, 100);
    tab.open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    tab.next_image();
    QVERIFY(test::settle_window_work());
    test::write_text(dir.filePath("b.txt"), "0 0.1 0.1 0.2 0.1 0.2 0.2\n");
    prompts_->choices = {1};  // Overwrite
    prompts_->dialogs.push_back(test::answer_label("car"));
    emit test::find<InteractiveCanvas>(tab, "canvas")->polygon_completed(QPolygonF({{1, 1}, {20, 1}, {20, 20}}));
    QCOMPARE(prompts_->messages.last().title, QString("Label File Changed"));
    QCOMPARE(test::read_text(dir.filePath("b.txt")).count('\n'), 1);
  }

  void only_regular_files_are_read() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 30, 30);
    if (::mkfifo(QFile::encodeName(dir.filePath("a.txt")).constData(), 0600) != 0) QSKIP("no FIFOs here");
    ::mkfifo(QFile::encodeName(dir.filePath("f.png")).constData(), 0600);
    AnnotatorTab tab;
    tab.open_folder(dir.path());  // would block on either FIFO if it were opened
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().size(), 1);
    QCOMPARE(tab.shapes_on_screen().size(), 0);
  }
};

QTEST_MAIN(TestLabelIntegrity)
#include "test_label_integrity.moc"

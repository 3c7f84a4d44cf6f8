// The class list the user edits: rename, merge, delete and move rewrite exactly the counted label
// files, all or none, and one undo puts them back byte for byte; a near-duplicate name asks.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "annotate/annotator_tab.h"
#include "annotate/class_changes.h"
#include "core/atomic_file.h"
#include "core/class_edit.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"

using namespace quorlan;

namespace {
// The step of write_file_atomically at which the crash tests' child process dies.
int g_steps_left = 0;
void die_at_step(const char*, const QString&) {
  if (--g_steps_left == 0) _exit(9);
}

// Fills the small disk just before the file named here is written.
test::SmallDisk* g_disk = nullptr;
QString g_fill_before;
void fill_disk_before(const char* step, const QString& path) {
  if (g_disk && qstrcmp(step, "write") == 0 && path == g_fill_before) g_disk->fill();
}
}  // namespace

class TestClassManagement : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

  QString path(const QString& name) const { return dir_->filePath(name); }
  QByteArray bytes(const QString& name) const {
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  QHash<QString, QByteArray> snapshot() const {
    QHash<QString, QByteArray> files;
    for (const QString& name : QDir(dir_->path()).entryList({"*.txt"}, QDir::Files)) files.insert(name, bytes(name));
    return files;
  }

  // Classes car, cra (a typo), dog, bus over four label files written as other tools write them:
  // CR LF, a float class token, a line that cannot be read, no last line break.
  void folder() {
    for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) test::write_image(path(name), 100, 80);
    test::write_text(path("classes.txt"), "car\ncra\ndog\nbus\n");
    test::write_text(path("a.txt"), "0 0.5 0.5 0.2 0.2\r\n1 0.3 0.3 0.1 0.1\r\n");
    test::write_text(path("b.txt"), "1.0 0.5 0.5 0.2 0.2\n3 0.1 0.1 0.3 0.1 0.3 0.3\nbroken line\n2 0.4 0.4 0.1 0.1");
    test::write_text(path("c.txt"), "2 0.5 0.5 0.2 0.2\n");
    test::write_text(path("d.txt"), "0 0.5 0.5 0.2 0.2\n");
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
  }

  // The folder's class changes as commands, with no widget: a merge and then a move written and
  // remembered, taken back last first, byte for byte; an undo after the list changed elsewhere
  // is refused with its reason, and a folder opened afresh has nothing to take back.
  void class_changes_are_commands_without_widgets() {
    folder();
    const QHash<QString, QByteArray> original = snapshot();
    QStringList labels;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) labels << path(name);
    ClassChanges changes;
    changes.reset(dir_->path(), path("classes.txt"));
    QVERIFY(!changes.undo_of_last({"car"}));

    QStringList names{"car", "cra", "dog", "bus"};
    const auto apply = [&](const QString& title, const ClassMapping& mapping) {
      const ClassChange change = changes.change_for(title, names, mapping, plan_class_rewrite(labels, mapping.new_id));
      QVERIFY(changes.write(change));
      changes.record(change);
      names = mapping.names;
    };
    apply("Merge", merge_classes(names, 1, 0));
    const QHash<QString, QByteArray> merged = snapshot();
    QCOMPARE(bytes("classes.txt"), QByteArray("car\ndog\nbus\n"));
    QCOMPARE(bytes("a.txt"), QByteArray("0 0.5 0.5 0.2 0.2\r\n0 0.3 0.3 0.1 0.1\r\n"));
    apply("Move", swap_classes(names, 1, 2));
    QCOMPARE(bytes("classes.txt"), QByteArray("car\nbus\ndog\n"));
    QCOMPARE(bytes("c.txt"), QByteArray("2 0.5 0.5 0.2 0.2\n"));  // dog: 1 after the merge, 2 after the move

    const Expected<ClassChange> refused = changes.undo_of_last({"car", "dog", "bus"});
    QVERIFY(!refused);
    QVERIFY(refused.error().contains("The class list changed after \"Move\""));
    for (const QHash<QString, QByteArray>& expected : {merged, original}) {
      const Expected<ClassChange> back = changes.undo_of_last(names);
      QVERIFY2(back, qPrintable(back.error()));
      QVERIFY(changes.write(*back));
      changes.drop_last();
      names = back->names_after;
      QCOMPARE(snapshot(), expected);
    }
    QVERIFY(changes.isEmpty());
    QCOMPARE(names, QStringList({"car", "cra", "dog", "bus"}));
    apply("Delete", delete_class(names, 0));
    changes.reset(dir_->path(), path("classes.txt"));
    QVERIFY(changes.isEmpty());
  }

  void lines_are_remapped_and_kept_as_written() {
    const QVector<int> merge = merge_classes({"car", "cra", "dog", "bus"}, 1, 0).new_id;
    QCOMPARE(merge, QVector<int>({0, 0, 1, 2}));
    QCOMPARE(delete_class({"car", "cra", "dog", "bus"}, 1).new_id, QVector<int>({0, -1, 1, 2}));
    QCOMPARE(merge_classes({"a", "b", "c"}, 0, 2).new_id, QVector<int>({1, 0, 1}));
    QCOMPARE(swap_classes({"a", "b", "c"}, 0, 1).names, QStringList({"b", "a", "c"}));
    int lines = 0;
    QCOMPARE(remapped_label_bytes("  1.0  0.5 0.5 0.2 0.2\r\nx y\r\n7 1 1 1 1\r\n3 0 0 1 1", merge, &lines),
             QByteArray("  0  0.5 0.5 0.2 0.2\r\nx y\r\n7 1 1 1 1\r\n2 0 0 1 1"));
    QCOMPARE(lines, 2);
    QCOMPARE(remapped_label_bytes("1 0 0 1 1\n0 0 0 1 1\n", delete_class({"a", "b"}, 1).new_id),
             std::optional<QByteArray>("0 0 0 1 1\n"));
    QVERIFY(!remapped_label_bytes("0 0 0 1 1\n", merge));
    QVERIFY(!remapped_label_bytes("nan 0 0 1 1\ninf 0 0 1 1\n-0 0 0 1 1\n", merge));  // no class to move
    QCOMPARE(near_class_names("cra", {"car", "cat", "dog", "Car"}), QStringList({"car", "Car"}));
    QCOMPARE(near_class_names("Dog", {"dog", "dogs", "do", "bog", "god"}), QStringList({"dog", "dogs", "bog"}));
    QCOMPARE(near_class_names("b", {"a", "B"}), QStringList({"B"}));
  }

  void merge_delete_and_move_rewrite_the_counted_files_and_undo_byte_for_byte() {
    folder();
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    const QHash<QString, QByteArray> original = snapshot();

    // Merge "cra" into "car": a and b change (2 objects), ids after it move down (b's 3 and 2, c).
    prompts_->items = {0};    // the first target offered: car
    prompts_->choices = {1};  // the confirmation's Cancel: nothing changes
    tab.merge_class(1);
    QVERIFY(test::settle_window_work());
    QCOMPARE(snapshot(), original);
    prompts_->items = {0};
    prompts_->choices = {0};
    tab.merge_class(1);
    QVERIFY(test::settle_window_work());
    QVERIFY2(prompts_->messages.last().text.contains("2 object(s) of \"cra\": they become \"car\".\n"
                                                     "3 object(s) of other classes take their class's new id.\n"
                                                     "3 label file(s) will be rewritten: 5 object(s) change class"),
             qPrintable(prompts_->messages.last().text));
    QCOMPARE(tab.class_names(), QStringList({"car", "dog", "bus"}));
    QCOMPARE(bytes("classes.txt"), QByteArray("car\ndog\nbus\n"));
    QCOMPARE(bytes("a.txt"), QByteArray("0 0.5 0.5 0.2 0.2\r\n0 0.3 0.3 0.1 0.1\r\n"));
    QCOMPARE(bytes("b.txt"),
             QByteArray("0 0.5 0.5 0.2 0.2\n2 0.1 0.1 0.3 0.1 0.3 0.3\nbroken line\n1 0.4 0.4 0.1 0.1"));
    QCOMPARE(bytes("c.txt"), QByteArray("1 0.5 0.5 0.2 0.2\n"));
    QCOMPARE(bytes("d.txt"), original.value("d.txt"));
    // The image on screen (a) shows its shapes under their new ids.
    QCOMPARE(tab.picture_document().shapes().size(), 2);
    QCOMPARE(tab.picture_document().shapes()[1].class_id, 0);

    // Ctrl+Z, while the class change is the last edit, takes all of it back.
    tab.undo();
    QVERIFY(test::settle_window_work());
    QCOMPARE(snapshot(), original);
    QCOMPARE(tab.class_names(), QStringList({"car", "cra", "dog", "bus"}));

    // Delete "dog": its object in b and c goes, bus moves down; moving "bus" up swaps it with "cra".
    prompts_->choices = {0};
    tab.delete_class(2);
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->messages.last().text.contains("1 object(s) change class, 2 object(s) are deleted"));
    QCOMPARE(bytes("b.txt"), QByteArray("1.0 0.5 0.5 0.2 0.2\n2 0.1 0.1 0.3 0.1 0.3 0.3\nbroken line\n"));
    QCOMPARE(bytes("c.txt"), QByteArray(""));
    prompts_->choices = {0};
    tab.move_class(2, -1);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.class_names(), QStringList({"car", "bus", "cra"}));
    QCOMPARE(bytes("a.txt"), QByteArray("0 0.5 0.5 0.2 0.2\r\n2 0.3 0.3 0.1 0.1\r\n"));
    tab.undo_class_change();
    QVERIFY(test::settle_window_work());
    tab.undo_class_change();
    QVERIFY(test::settle_window_work());
    QCOMPARE(snapshot(), original);
    QVERIFY(!tab.findChild<QPushButton*>("btn_class_undo")->isEnabled());

    // A file edited after a change is not overwritten by its undo.
    prompts_->choices = {0};
    tab.delete_class(3);
    QVERIFY(test::settle_window_work());
    test::write_text(path("b.txt"), "0 0.5 0.5 0.1 0.1\n");
    tab.undo_class_change();
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->messages.last().text.contains("was changed since"));
    QCOMPARE(bytes("b.txt"), QByteArray("0 0.5 0.5 0.1 0.1\n"));
  }

  // One undo for everything: a class merge, then a shape edit, then Ctrl+Z twice takes back the
  // edit and then the merge, every file byte for byte; a shape edit on another picture, which is
  // not shown, waits for its own picture.
  void ctrl_z_takes_back_the_last_thing_done_whatever_it_was() {
    folder();
    AnnotatorTab tab;
    tab.show();
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    const QHash<QString, QByteArray> original = snapshot();
    prompts_->items = {0};
    prompts_->choices = {0};
    tab.merge_class(1);
    QVERIFY(test::settle_window_work());
    const QHash<QString, QByteArray> merged = snapshot();
    QVERIFY(merged != original);
    const auto delete_first_shape = [&] {
      tab.shapes_on_screen()[0].item->setSelected(true);
      tab.handle_edit_key(Qt::Key_Delete);
      QVERIFY(test::settle_window_work());
    };
    delete_first_shape();  // a shape edit on the picture shown (a)
    QCOMPARE(bytes("a.txt"), QByteArray("0 0.3 0.3 0.1 0.1\r\n"));
    const auto ctrl_z = [&] {
      tab.handle_edit_key(static_cast<int>(Qt::CTRL) | Qt::Key_Z);
      QVERIFY(test::settle_window_work());
    };
    QVERIFY(test::settle_window_work());
    ctrl_z();
    QCOMPARE(snapshot(), merged);
    QVERIFY(tab.findChild<QPushButton*>("btn_undo")->isEnabled());  // the merge is next
    ctrl_z();
    QCOMPARE(snapshot(), original);
    QCOMPARE(tab.class_names(), QStringList({"car", "cra", "dog", "bus"}));
    ctrl_z();  // nothing is left: nothing changes
    QCOMPARE(snapshot(), original);

    // An edit on b, then back on a: Ctrl+Z there leaves b's edit alone; with b shown it goes.
    tab.next_image();
    QVERIFY(test::settle_window_work());
    delete_first_shape();
    const QByteArray b_edited = bytes("b.txt");
    QVERIFY(b_edited != original.value("b.txt"));
    tab.prev_image();
    QVERIFY(test::settle_window_work());
    ctrl_z();
    QCOMPARE(bytes("b.txt"), b_edited);
    QCOMPARE(bytes("a.txt"), original.value("a.txt"));
    tab.next_image();
    QVERIFY(test::settle_window_work());
    ctrl_z();
    QCOMPARE(tab.picture_document().shapes().size(), 3);  // b's deleted shape is back
  }

  // A class change killed at each write and each rename of its files (in a child process, as a
  // crash), then the folder opened again: the change is rolled back, every label file and the
  // class list wholly as before; once it runs to its end, wholly as after.
  void a_change_killed_at_any_step_is_rolled_back_when_the_folder_opens() {
    folder();
    test::write_text(path("e.txt"), "3 0.5 0.5 0.2 0.2\r\n0 0.1 0.1 0.1 0.1\n");  // mixed line breaks
    const QHash<QString, QByteArray> original = snapshot();
    const ClassMapping swap = swap_classes({"car", "cra", "dog", "bus"}, 0, 3);
    QStringList labels;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"}) labels << path(name);
    const ClassRewrite plan = plan_class_rewrite(labels, swap.new_id);
    QHash<QString, QByteArray> before = plan.before, after = plan.after;
    before.insert(path("classes.txt"), bytes("classes.txt"));
    after.insert(path("classes.txt"), "bus\ncra\ndog\ncar\n");
    QCOMPARE(after.value(path("e.txt")), QByteArray("0 0.5 0.5 0.2 0.2\r\n3 0.1 0.1 0.1 0.1\n"));
    bool finished = false;
    for (int step = 1; !finished && step < 40; ++step) {
      const pid_t child = fork();
      if (child == 0) {
        g_steps_left = step;
        set_atomic_write_hook(&die_at_step);
        _exit(rewrite_label_files(before, after, class_change_journal(dir_->path())) ? 0 : 1);
      }
      int status = 0;
      QCOMPARE(waitpid(child, &status, 0), child);
      QVERIFY(WIFEXITED(status));
      finished = WEXITSTATUS(status) == 0;
      QVERIFY2(finished || WEXITSTATUS(status) == 9, qPrintable(QString::number(step)));
      AnnotatorTab tab;
      tab.open_folder(dir_->path());
      QVERIFY(test::settle_window_work());
      const QHash<QString, QByteArray> now = snapshot();
      if (finished) {
        for (auto it = after.cbegin(); it != after.cend(); ++it)
          QCOMPARE(now.value(QFileInfo(it.key()).fileName()), it.value());
        QCOMPARE(tab.class_names(), QStringList({"bus", "cra", "dog", "car"}));
      } else {
        QVERIFY2(now == original, qPrintable(QStringLiteral("killed at step %1").arg(step)));
        QCOMPARE(tab.class_names(), QStringList({"car", "cra", "dog", "bus"}));
      }
      QVERIFY(!QFileInfo::exists(class_change_journal(dir_->path())));
      // Nothing the change wrote stays behind, not even a temporary file.
      QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden).size(), 10);
    }
    QVERIFY(finished);
    bool said = false;
    for (const auto& m : prompts_->messages) said = said || m.title == "Class Change Rolled Back";
    QVERIFY(said);

    // A read-only label file stays read-only when rewritten (root may write it anyway).
    QFile::setPermissions(path("c.txt"), QFile::ReadOwner | QFile::ReadGroup);
    const QHash<QString, QByteArray> c_now{{path("c.txt"), bytes("c.txt")}};
    if (rewrite_label_files(c_now, {{path("c.txt"), "1 0.5 0.5 0.2 0.2\n"}}))
      QCOMPARE(QFile::permissions(path("c.txt")) & QFile::WriteOwner, QFile::Permissions());
    QFile::setPermissions(path("c.txt"), QFile::ReadOwner | QFile::WriteOwner);
  }

  // The disk fills up as the third file of a change is rewritten, so the files rewritten before it
  // cannot be put back either: the message names them (never "No file was changed."), and once
  // there is room again, opening the folder puts them back.
  void a_disk_full_partway_names_the_files_not_put_back() {
    test::SmallDisk disk(512);
    if (!disk.ok()) QSKIP("a small tmpfs cannot be mounted here");
    const QDir d(disk.path());
    QHash<QString, QByteArray> before{{d.filePath("classes.txt"), "car\nbus\n"}},
        after{{d.filePath("classes.txt"), "bus\ncar\n"}};
    for (int i = 0; i < 4; ++i) {
      test::write_image(d.filePath(QStringLiteral("f%1.png").arg(i)), 20, 20);
      before.insert(d.filePath(QStringLiteral("f%1.txt").arg(i)), "0 0.5 0.5 0.2 0.2\n1 0.1 0.1 0.1 0.1\n");
      after.insert(d.filePath(QStringLiteral("f%1.txt").arg(i)), "1 0.5 0.5 0.2 0.2\n0 0.1 0.1 0.1 0.1\n");
    }
    for (auto it = before.cbegin(); it != before.cend(); ++it) test::write_bytes(it.key(), it.value());
    g_disk = &disk;
    g_fill_before = d.filePath("f1.txt");  // after classes.txt and f0.txt
    set_atomic_write_hook(&fill_disk_before);
    const Status rewritten = rewrite_label_files(before, after, class_change_journal(disk.path()));
    set_atomic_write_hook(nullptr);
    g_disk = nullptr;
    QVERIFY(!rewritten);
    QVERIFY2(rewritten.error().contains("No space left on device"), qPrintable(rewritten.error()));
    QVERIFY(!rewritten.error().contains("No file was changed."));
    QVERIFY(rewritten.error().contains("2 file(s) already rewritten could not be put back"));
    QVERIFY(rewritten.error().contains(QDir::toNativeSeparators(d.filePath("classes.txt"))));
    QVERIFY(rewritten.error().contains(QDir::toNativeSeparators(d.filePath("f0.txt"))));
    QCOMPARE(test::read_bytes(d.filePath("f0.txt")), after.value(d.filePath("f0.txt")));

    QVERIFY(QFile::remove(d.filePath(".filler")));
    AnnotatorTab tab;
    tab.open_folder(disk.path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Class Change Rolled Back"));
    QVERIFY(prompts_->messages.last().text.contains("2 file(s) put back"));
    for (auto it = before.cbegin(); it != before.cend(); ++it) QCOMPARE(test::read_bytes(it.key()), it.value());
    QCOMPARE(tab.class_names(), QStringList({"car", "bus"}));
  }

  void rename_keeps_ids_and_a_near_name_asks() {
    folder();
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    const QHash<QString, QByteArray> labels = snapshot();
    prompts_->texts = {"truck"};
    QVERIFY(tab.rename_class(3));
    QCOMPARE(bytes("classes.txt"), QByteArray("car\ncra\ndog\ntruck\n"));
    QHash<QString, QByteArray> now = snapshot();
    now.remove("classes.txt");
    QHash<QString, QByteArray> before = labels;
    before.remove("classes.txt");
    QCOMPARE(now, before);
    tab.undo();
    QVERIFY(test::settle_window_work());
    QCOMPARE(bytes("classes.txt"), QByteArray("car\ncra\ndog\nbus\n"));
    // A rename onto an existing name offers a merge.
    prompts_->texts = {"car"};
    prompts_->choices = {1};
    QVERIFY(!tab.rename_class(1));
    QCOMPARE(prompts_->messages.last().title, QString("Rename Class"));

    // "bsu" drawn: the studio asks before it becomes a class; "Use" takes "bus".
    tab.jump_to_image(3);
    QVERIFY(test::settle_window_work());
    tab.change_active_mode("Rectangle");
    test::find<QComboBox>(tab, "combo_mode")->setCurrentText("Rectangle");
    prompts_->dialogs.push_back(test::answer_label("bsu"));
    prompts_->choices = {0};
    tab.handle_new_poly(QPolygonF({{10, 10}, {40, 10}, {40, 40}, {10, 40}}));
    QCOMPARE(prompts_->messages.last().title, QString("New Class"));
    QCOMPARE(tab.class_names().size(), 4);
    QCOMPARE(tab.picture_document().shapes().last().class_id, 3);
    // "Add" makes the new class; Cancel makes nothing.
    prompts_->dialogs.push_back(test::answer_label("bsu"));
    prompts_->choices = {2};
    tab.handle_new_poly(QPolygonF({{50, 10}, {60, 10}, {60, 20}, {50, 20}}));
    QCOMPARE(tab.picture_document().shapes().size(), 2);
    prompts_->dialogs.push_back(test::answer_label("bsu"));
    prompts_->choices = {1};
    tab.handle_new_poly(QPolygonF({{50, 10}, {60, 10}, {60, 20}, {50, 20}}));
    QCOMPARE(tab.class_names().last(), QString("bsu"));
  }

  void a_manifest_named_folder_is_not_remapped() {
    QDir(dir_->path()).mkpath("images");
    QDir(dir_->path()).mkpath("labels");
    test::write_image(path("images/a.png"), 50, 50);
    test::write_text(path("labels/a.txt"), "1 0.5 0.5 0.2 0.2\n");
    test::write_text(path("data.yaml"), "path: .\ntrain: images\nval: images\nnames: [car, bus]\n");
    AnnotatorTab tab;
    tab.open_folder(path("images"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.class_names(), QStringList({"car", "bus"}));
    tab.delete_class(0);
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->messages.last().text.contains("does not rewrite"));
    QCOMPARE(test::read_text(path("labels/a.txt")), QString("1 0.5 0.5 0.2 0.2\n"));
  }
};

QTEST_MAIN(TestClassManagement)
#include "test_class_management.moc"

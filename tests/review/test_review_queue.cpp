// The annotator's review queue through the dialog seam: each kind of finding taken from the model
// and undone byte for byte, findings dismissed and reopened, and the label files never touched by
// a dismissal.
#include <sys/stat.h>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "annotate/annotator_tab.h"
#include "core/atomic_file.h"
#include "review/review_dismissals.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/table_model.h"
#include "support/window_work.h"

using namespace quorlan;

class TestReviewQueue : public QObject {
  Q_OBJECT
  std::unique_ptr<QTemporaryDir> dir_;
  ScriptedPrompts* prompts_ = nullptr;
  QString path(const QString& name) const { return dir_->filePath(name); }

  // one: a loose car; two: a person the model calls a car, and a stray car; three: nothing
  // labelled where the model sees a person. Lines end in CR LF and one cannot be shown (class 7):
  // an undo must give every byte back.
  void make_folder() {
    for (const char* name : {"one.png", "two.png", "three.png"}) test::write_image(path(name), 200, 100);
    test::write_text(path("classes.txt"), "car\nperson\n");
    test::write_text(path("one.txt"), "0 0.25 0.5 0.2 0.4\r\n7 0.5 0.5 0.1 0.1\r\n");
    test::write_text(path("two.txt"), "1 0.25 0.5 0.2 0.4\r\n0 0.75 0.5 0.1 0.2\r\n");
  }

  std::shared_ptr<test::TableModel> model() {
    auto m = std::make_shared<test::TableModel>();
    m->answers["one.png"].boxes = {{0, 40, 30, 80, 70, 0.9}};
    m->answers["two.png"].boxes = {{0, 30, 30, 70, 70, 0.9}};
    m->answers["three.png"].boxes = {{1, 120, 20, 180, 80, 0.8}};
    return m;
  }

  // Chooses the listed finding of `kind`; false when none is listed.
  static bool choose(AnnotatorTab& tab, FindingKind kind) {
    for (int row = 0; row < test::find<QListWidget>(tab, "list_review")->count(); ++row) {
      const int index = test::find<QListWidget>(tab, "list_review")->item(row)->data(Qt::UserRole).toInt();
      if (tab.review().findings()[index].kind == kind) {
        test::find<QListWidget>(tab, "list_review")->setCurrentRow(row);
        emit test::find<QListWidget>(tab, "list_review")
            ->itemClicked(test::find<QListWidget>(tab, "list_review")->item(row));  // as a click on it
        return test::settle_window_work();
      }
    }
    return false;
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
    make_folder();
  }

  // The findings without widgets: the list under each filter, the model's version taken into a
  // document (the rows after a removed label move up, a label edited since is refused), and a
  // dismissal reopened.
  void findings_are_listed_taken_and_dismissed_without_widgets() {
    const auto finding = [&](FindingKind kind, int row, int cls, int predicted, QRectF box) {
      ReviewFinding f;
      f.kind = kind;
      f.picture = path("two.png");
      f.label_row = row;
      f.label_cls = cls;
      f.label_box = box;
      f.predicted_cls = predicted;
      f.predicted_box = QRectF(30, 30, 40, 40);
      f.score = 0.5;
      return f;
    };
    // two.txt: a person at (30,30)-(70,70) and a car at (140,40)-(160,60).
    const QRectF person(30, 30, 40, 40), car(140, 40, 20, 20);
    QTemporaryDir elsewhere;
    FindingQueue queue;
    queue.reset({finding(FindingKind::LabelOnNothing, 0, 1, -1, person), finding(FindingKind::WrongClass, 1, 0, 1, car),
                 finding(FindingKind::MissingObject, -1, -1, 2, {})},
                {{0, "car"}, {1, "person"}, {2, "dog"}}, ReviewDismissals::load(elsewhere.path(), nullptr));
    const QStringList classes{"car", "person"};
    QCOMPARE(queue.rows({}, classes).size(), 3);
    QCOMPARE(queue.rows({}, classes)[1].text, QString("0.50  wrong class · car · two.png → person"));
    QCOMPARE(queue.rows({static_cast<int>(FindingKind::MissingObject), -1, false}, classes)[0].text,
             QString("0.50  missing object · dog · two.png"));
    QCOMPARE(queue.rows({-1, 1, false}, classes).size(), 1);  // the person's label

    AnnotationDocument document;
    document.open(path("two.txt"), 2, QSize(200, 100));
    const auto class_for = [&](const QString& name) {
      return name == "dog" ? 2 : static_cast<int>(classes.indexOf(name));
    };
    // The label on nothing goes; the car's row moves up to 0.
    QCOMPARE(queue.take(0, document, class_for, LabelKind::Boxes), FindingQueue::Taken::Done);
    QCOMPARE(document.shapes().size(), 1);
    QCOMPARE(queue.findings()[0].label_row, 0);
    // The car is edited after the review: its finding is refused.
    QVERIFY(document.translate({0}, QPointF(10, 0)));
    QCOMPARE(queue.take(0, document, class_for, LabelKind::Boxes), FindingQueue::Taken::LabelChanged);
    document.undo();
    QCOMPARE(queue.take(0, document, class_for, LabelKind::Boxes), FindingQueue::Taken::Done);
    QCOMPARE(document.shapes()[0].class_id, 1);
    // The missing dog is added as a box of class 2.
    QCOMPARE(queue.take(0, document, class_for, LabelKind::Boxes), FindingQueue::Taken::Done);
    QCOMPARE(document.shapes().size(), 2);
    QCOMPARE(document.shapes()[1].class_id, 2);
    QVERIFY(document.shapes()[1].is_box());
    QVERIFY(queue.isEmpty());

    // Dismissed, a finding leaves the list unless the dismissed are shown; dismissed again, it is back.
    queue.reset({finding(FindingKind::LooseBox, 0, 1, 1, person)}, {},
                ReviewDismissals::load(elsewhere.path(), nullptr));
    queue.dismissals()->choose_place(true);
    QVERIFY(queue.toggle_dismissed(0));
    QVERIFY(queue.rows({}, classes).isEmpty());
    QVERIFY(queue.rows({-1, -1, true}, classes)[0].text.endsWith(" (dismissed)"));
    QVERIFY(QFile::exists(QDir(elsewhere.path()).filePath(ReviewDismissals::kFileName)));
    QVERIFY(queue.toggle_dismissed(0));
    QCOMPARE(queue.rows({}, classes).size(), 1);
    QCOMPARE(test::read_text(path("two.txt")),
             QString("1 0.25 0.5 0.2 0.4\r\n0 0.75 0.5 0.1 0.2\r\n"));  // never saved here
  }

  void each_kind_is_taken_and_undone_byte_for_byte() {
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.use_model(model());
    tab.review_labels_with_model();
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<QGroupBox>(tab, "review_box")->isVisibleTo(&tab));
    QCOMPARE(test::find<QListWidget>(tab, "list_review")->count(), 4);
    QVERIFY(test::find<QListWidget>(tab, "list_review")->item(0)->text().contains("label on nothing"));  // worst first
    const QByteArray one = test::read_bytes(path("one.txt")), two = test::read_bytes(path("two.txt"));

    // A loose box takes the model's box; the line that cannot be shown stays as it was.
    QVERIFY(choose(tab, FindingKind::LooseBox));
    QCOMPARE(tab.queue().path(tab.queue().current()), path("one.png"));
    tab.handle_edit_key(Qt::Key_Y);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_text(path("one.txt")),
             QString("0 0.300000 0.500000 0.200000 0.400000\r\n7 0.5 0.5 0.1 0.1\r\n"));
    QCOMPARE(test::find<QListWidget>(tab, "list_review")->count(), 3);
    tab.undo();
    QCOMPARE(test::read_bytes(path("one.txt")), one);

    // A wrong class becomes the model's class.
    QVERIFY(choose(tab, FindingKind::WrongClass));
    QVERIFY(tab.accept_review_finding());
    QCOMPARE(test::read_text(path("two.txt")).left(2), QString("0 "));
    tab.undo();
    QCOMPARE(test::read_bytes(path("two.txt")), two);

    // A label on nothing goes.
    QVERIFY(choose(tab, FindingKind::LabelOnNothing));
    QVERIFY(tab.accept_review_finding());
    QCOMPARE(test::read_text(path("two.txt")), QString("1 0.25 0.5 0.2 0.4\r\n"));  // the kept line as it was
    tab.undo();
    QCOMPARE(test::read_bytes(path("two.txt")), two);

    // A missing object is added as the folder's labels are written (boxes here); an undo takes the
    // new file away again.
    QVERIFY(choose(tab, FindingKind::MissingObject));
    QVERIFY(tab.accept_review_finding());
    QCOMPARE(test::read_text(path("three.txt")), QString("1 0.750000 0.500000 0.300000 0.600000\n"));
    tab.undo();
    QVERIFY(!test::file_exists(path("three.txt")));
    QCOMPARE(test::find<QListWidget>(tab, "list_review")->count(), 0);
  }

  void y_and_n_act_only_on_the_finding_on_screen() {
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.use_model(model());
    prompts_->choices.push_back(1);  // dismissals kept in the settings: asked as the review starts
    tab.review_labels_with_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Remember Dismissals"));
    const auto current = [&] {
      return tab.review()
          .findings()[test::find<QListWidget>(tab, "list_review")->currentItem()->data(Qt::UserRole).toInt()];
    };
    const auto label_of = [](const QString& picture) { return picture.left(picture.lastIndexOf('.')) + ".txt"; };
    const auto bytes_of = [](const QString& file) {
      return test::file_exists(file) ? test::read_bytes(file) : QByteArray();
    };
    // The first finding is on screen: Y takes it; the next finding, on another picture, is picked.
    const QString first = current().picture;
    QCOMPARE(tab.queue().path(tab.queue().current()), first);
    // A next finding on the same picture is shown at once and taken by the next Y.
    QVERIFY(tab.accept_review_finding());
    while (test::find<QListWidget>(tab, "list_review")->count() > 0 && current().picture == first)
      QVERIFY(tab.accept_review_finding());
    QVERIFY(test::find<QListWidget>(tab, "list_review")->count() > 0);
    const QString next = current().picture;
    QCOMPARE(tab.queue().path(tab.queue().current()), first);  // the edited picture stays (Ctrl+Z reaches it)
    // Y on the next finding shows it and writes nothing; only then do Y and N act.
    const QByteArray before = bytes_of(label_of(next));
    QVERIFY(!tab.accept_review_finding());
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().path(tab.queue().current()), next);
    QCOMPARE(bytes_of(label_of(next)), before);
    QVERIFY(tab.dismiss_review_finding());  // now on screen: N dismisses it
    QCOMPARE(bytes_of(label_of(next)), before);
  }

  void dismissed_findings_stay_dismissed_and_can_be_reopened() {
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.use_model(model());
    tab.review_labels_with_model();
    QVERIFY(test::settle_window_work());
    const QByteArray one = test::read_bytes(path("one.txt"));
    QVERIFY(choose(tab, FindingKind::LooseBox));
    prompts_->choices.push_back(0);  // kept in the folder
    tab.handle_edit_key(Qt::Key_N);
    QVERIFY(test::settle_window_work());
    QVERIFY(!prompts_->messages.isEmpty());
    QCOMPARE(prompts_->messages.last().title, QString("Remember Dismissals"));
    QCOMPARE(test::find<QListWidget>(tab, "list_review")->count(), 3);
    QVERIFY(!choose(tab, FindingKind::LooseBox));
    QCOMPARE(test::read_bytes(path("one.txt")), one);  // the labels are not touched
    QVERIFY(test::read_text(path(ReviewDismissals::kFileName)).contains("one.png|loose"));

    // A new review remembers it; shown again, N reopens it.
    AnnotatorTab again;
    again.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    again.use_model(model());
    again.review_labels_with_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QListWidget>(again, "list_review")->count(), 3);
    test::find<QCheckBox>(again, "check_review_dismissed")->setChecked(true);
    QCOMPARE(test::find<QListWidget>(again, "list_review")->count(), 4);
    QVERIFY(choose(again, FindingKind::LooseBox));
    QVERIFY(test::find<QListWidget>(again, "list_review")->currentItem()->text().endsWith("(dismissed)"));
    QVERIFY(again.dismiss_review_finding());
    QVERIFY(!test::read_text(path(ReviewDismissals::kFileName)).contains("one.png|loose"));
    test::find<QCheckBox>(again, "check_review_dismissed")->setChecked(false);
    QCOMPARE(test::find<QListWidget>(again, "list_review")->count(), 4);

    // The filters: by kind, and by class.
    test::find<QComboBox>(again, "combo_review_kind")
        ->setCurrentIndex(test::find<QComboBox>(again, "combo_review_kind")->findData(int(FindingKind::WrongClass)));
    QCOMPARE(test::find<QListWidget>(again, "list_review")->count(), 1);
    test::find<QComboBox>(again, "combo_review_kind")->setCurrentIndex(0);
    test::find<QComboBox>(again, "combo_review_class")
        ->setCurrentIndex(test::find<QComboBox>(again, "combo_review_class")->findText("person"));
    QCOMPARE(test::find<QListWidget>(again, "list_review")->count(),
             2);  // the person labelled as one, and the one not labelled

    // Another folder opened: the review of this one goes.
    again.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<QGroupBox>(again, "review_box")->isHidden());
    QVERIFY(again.review().findings().isEmpty());
  }

  // A dismissals file that cannot be read whole is copied aside before anything is written over
  // it; a pipe or a link to a device is never opened, nor replaced.
  void a_broken_dismissals_file_is_kept_aside_and_a_pipe_left_alone() {
    const QString file = path(ReviewDismissals::kFileName);
    const QByteArray cut =
        QByteArray(R"({"dismissed": ["a.png|loose|0", "b.png|loose|0", "c.png|loose|0"]})").chopped(3);
    test::write_bytes(file, cut);
    ReviewDismissals d = ReviewDismissals::load(dir_->path(), nullptr);
    QVERIFY2(d.problem().contains("a copy was kept as .quorlan-review.unreadable-"), qPrintable(d.problem()));
    const QStringList aside =
        QDir(dir_->path()).entryList({".quorlan-review.unreadable-*.json"}, QDir::Hidden | QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(test::read_bytes(path(aside[0])), cut);
    ReviewFinding finding;
    finding.picture = path("one.png");
    finding.kind = FindingKind::LooseBox;
    QVERIFY(d.set(finding, true).ok());
    QCOMPARE(test::read_bytes(path(aside[0])), cut);  // the copy outlives the new list

    test::write_text(file, R"({"dismissed": ["a.png|loose|0", 5]})");
    d = ReviewDismissals::load(dir_->path(), nullptr);
    QVERIFY2(d.problem().contains("wrong type") && d.problem().contains("the 1 dismissal(s)"), qPrintable(d.problem()));

    for (const bool fifo : {true, false}) {
      QFile::remove(file);
      if (fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
      else
        QVERIFY(QFile::link("/dev/zero", file));
      d = ReviewDismissals::load(dir_->path(), nullptr);  // returns at once
      QVERIFY2(d.problem().contains("left alone"), qPrintable(d.problem()));
      d.choose_place(true);
      QVERIFY(d.set(finding, true).ok());
      QVERIFY(!is_regular_file(file));
      QCOMPARE(QFileInfo(file).isSymLink(), !fifo);
    }
  }

  // Without a model, the honest way: a model trained on each half (by the engine's double here)
  // reviews the other half; the reviewed folder gains nothing.
  void a_cross_check_trains_two_models_and_reviews_each_half() {
    test::write_image(path("four.png"), 200, 100);  // a half needs two pictures
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QTemporaryDir working;  // the runs go under the working folder, never inside the reviewed one
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(working.path()));
    prompts_->choices.push_back(1);  // cross-check
    prompts_->texts.push_back("1");  // one epoch each
    QStringList before = QDir(dir_->path()).entryList(QDir::Files);
    tab.review_labels_with_model();
    QVERIFY(test::settle_window_work());
    QDir::setCurrent(previous);
    QVERIFY2(test::find<QGroupBox>(tab, "review_box")->isVisibleTo(&tab),
             qPrintable(prompts_->messages.isEmpty() ? QString() : prompts_->messages.last().text));
    QVERIFY2(test::find<QLabel>(tab, "lbl_review_note")->text().contains("4 pictures, 3 labels"),
             qPrintable(test::find<QLabel>(tab, "lbl_review_note")->text()));
    QVERIFY(test::find<QLabel>(tab, "lbl_review_note")->text().contains("cross-check"));
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), before);
    const QString work = working.filePath("runs/cross_check/") + QFileInfo(dir_->path()).fileName();
    QVERIFY(QFileInfo::exists(work + "/runs/model_a/weights/best.pt"));
    QVERIFY(QFileInfo::exists(work + "/runs/model_b/weights/best.pt"));
  }
};

QTEST_MAIN(TestReviewQueue)
#include "test_review_queue.moc"

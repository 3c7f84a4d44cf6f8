// The window keeps answering while long work runs beside it (the engine's first check, a model
// loading, a prediction, a dataset export, analytics, a resize batch, a slow save), and closing it then ends
// what runs within a second or two, leaving no file cut off.
#include <QComboBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <cstring>

#include "annotate/annotator_tab.h"
#include "app/quorlan_studio.h"
#include "core/atomic_file.h"
#include "dataset/dataset_actions.h"
#include "engine_client/engine_host.h"
#include "imaging/resizer_tab.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"

using namespace quorlan;

namespace {

// Counts the window's timer ticks: they only come while its thread is free.
class Ticks {
 public:
  Ticks() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { ++count; });
    timer_.start(20);
  }
  int count = 0;

 private:
  QTimer timer_;
};

QString busy_box_text() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QProgressDialog*>(w); box && box->objectName() == "busy_progress" && box->isVisible())
      return box->labelText();
  return {};
}

// Files a write left behind half-done: atomic writes' temporaries, or pictures that do not decode.
QStringList cut_off_files(const QString& folder) {
  QStringList found;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = it.next();
    const QString name = it.fileName();
    if (name.contains(".tmp") || name.startsWith(".quorlan-") || name.endsWith('~')) found << file;
    if (name.endsWith(".jpg") && QImage(file).isNull()) found << file;
  }
  return found;
}

}  // namespace

class TestWindowAnswers : public QObject {
  Q_OBJECT
  std::unique_ptr<QTemporaryDir> dir_;
  ScriptedPrompts* prompts_ = nullptr;
  QString path(const QString& name) const { return dir_->filePath(name); }

  // Closes the window as the user does, then winds down as the program does at exit: everything
  // ends (what takes how long is measured apart, by hand and in the note, not here).
  void close_and_wind_down(QuorlanStudio& window) {
    QElapsedTimer clock;
    clock.start();
    window.close();
    QVERIFY(wind_down_after_window(20000));
    qInfo("closed and wound down in %lld ms", clock.elapsed());
    QVERIFY(test::settle_window_work(5000));
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    for (const char* folder : {"pics", "data", "big", "out", "resized"}) QDir(dir_->path()).mkpath(folder);
    prompts_ = ScriptedPrompts::install();
    reset_engine_probes();
  }
  void cleanup() {
    qunsetenv("QUORLAN_PYTHON");
    qputenv("QUORLAN_PYTHON", "python3");
    reset_engine_probes();
  }

  // An interpreter that takes a minute to start: choosing engine weights shows the busy box while the
  // first check runs, and the window goes on.
  void while_the_engine_check_takes_a_minute() {
    test::write_text(path("slow-python"), "#!/bin/sh\nsleep 60\nexec python3 \"$@\"\n");
    QFile::setPermissions(path("slow-python"), QFile::permissions(path("slow-python")) | QFile::ExeOwner);
    qputenv("QUORLAN_PYTHON", path("slow-python").toLocal8Bit());
    reset_engine_probes();
    start_engine_probes();
    test::write_image(path("pics/a.png"), 40, 30);
    QuorlanStudio window;
    window.show();
    window.tab_workspace->open_folder(path("pics"));
    test::write_text(path("m.pt"), "{}");
    prompts_->open_files.push_back(path("m.pt"));
    Ticks ticks;
    window.tab_workspace->load_ai_model();
    QVERIFY(work_beside_window_in_flight() > 0);  // returned at once, the check still running
    QTest::qWait(1000);
    QVERIFY2(ticks.count >= 20, qPrintable(QString::number(ticks.count)));
    QCOMPARE(busy_box_text(), QString("Looking for the engine..."));
    QVERIFY(!engine_installed_if_known());
    close_and_wind_down(window);
    QVERIFY(prompts_->messages.isEmpty());  // cancelled: no "not installed", no model
    QVERIFY(!window.tab_workspace->model());
  }

  // The engine's host loading a model for a minute, then predicting for a minute: closing ends
  // each wait long before (the wind-down allows 20 s).
  void while_a_model_loads_or_predicts() {
    test::write_image(path("pics/a.png"), 40, 30);
    const QString slow_load = path("slow-load.pt");
    test::write_text(slow_load, R"({"load_seconds": 60})");
    const QString slow_predict = path("slow-predict.pt");
    test::write_text(slow_predict, R"({"predict_seconds": 60, "names": {"0": "car"},
        "detections": [{"cls": 0, "conf": 0.9, "xyxy": [1, 1, 20, 20]}]})");
    {
      QuorlanStudio window;
      window.show();
      window.tab_workspace->open_folder(path("pics"));
      prompts_->open_files.push_back(slow_load);
      Ticks ticks;
      window.tab_workspace->load_ai_model();
      QTest::qWait(1000);
      QVERIFY2(ticks.count >= 20, qPrintable(QString::number(ticks.count)));
      QCOMPARE(busy_box_text(), QString("Loading the model..."));
      close_and_wind_down(window);
      QVERIFY(!window.tab_workspace->model());
    }
    QuorlanStudio window;
    window.show();
    window.tab_workspace->open_folder(path("pics"));
    prompts_->open_files.push_back(slow_predict);
    window.tab_workspace->load_ai_model();
    QVERIFY(test::settle_window_work());
    QVERIFY(window.tab_workspace->model());
    Ticks ticks;
    window.tab_workspace->run_ai_autolabel();
    QTest::qWait(1000);
    QVERIFY2(ticks.count >= 20, qPrintable(QString::number(ticks.count)));
    QCOMPARE(busy_box_text(), QString("Predicting..."));
    close_and_wind_down(window);
    QVERIFY(!QFileInfo::exists(path("pics/a.txt")));  // nothing was written
  }

  // A dataset export and the analytics over a folder big enough to take a while.
  void while_an_export_or_analytics_runs() {
    QStringList images;
    for (int i = 0; i < 300; ++i) {
      images << path(QStringLiteral("data/p%1.jpg").arg(i, 3, 10, QChar('0')));
      test::write_noise_image(images.last(), 900, 700, i);
      test::write_text(path(QStringLiteral("data/p%1.txt").arg(i, 3, 10, QChar('0'))), "0 0.5 0.5 0.2 0.2\n");
    }
    QuorlanStudio window;
    window.show();
    prompts_->dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });
    prompts_->directories.push_back(path("out"));
    Ticks ticks;
    export_and_split_dataset(&window, images, {"car"});
    QVERIFY(work_beside_window_in_flight() > 0);
    QTest::qWait(150);
    QVERIFY2(ticks.count >= 3, qPrintable(QString::number(ticks.count)));
    close_and_wind_down(window);
    // Cancelled partway, the destination is as it was; an export that ended first is whole.
    const QStringList left = QDir(path("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    if (!left.isEmpty()) {
      QCOMPARE(left, QStringList({"data.yaml", "test", "train", "val"}));
      QDirIterator it(path("out"), {"*.jpg"}, QDir::Files, QDirIterator::Subdirectories);
      int pictures = 0;
      for (; it.hasNext(); it.next()) ++pictures;
      QCOMPARE(pictures, images.size());
    }
    QVERIFY2(cut_off_files(path("out")).isEmpty(), qPrintable(cut_off_files(path("out")).join(", ")));

    QuorlanStudio second;
    second.show();
    show_dataset_analytics(&second, images, {"car"});
    QVERIFY(work_beside_window_in_flight() > 0);  // returned at once, the count still running
    close_and_wind_down(second);
    QVERIFY(cut_off_files(path("data")).isEmpty());
  }

  // A resize batch of large outputs: the window (painted for the first time meanwhile) goes on,
  // closing it cancels the batch, and each output there is whole.
  void while_a_resize_batch_runs() {
    QStringList pictures;
    for (int i = 0; i < 30; ++i) {
      pictures << path(QStringLiteral("big/b%1.jpg").arg(i));
      test::write_noise_image(pictures.last(), 1200, 900, i);
    }
    auto window = std::make_unique<QuorlanStudio>();
    window->show();
    ResizerTab* tab = window->tab_resizer;
    prompts_->open_file_lists.push_back(pictures);
    tab->resizer_add_files();
    tab->findChild<QLineEdit*>("entry_resize_w")->setText("6000");
    prompts_->directories.push_back(path("resized"));
    Ticks ticks;
    tab->resizer_process_batch();
    QVERIFY(tab->is_running());
    QTest::qWait(400);
    QVERIFY2(ticks.count >= 10, qPrintable(QString::number(ticks.count)));
    QVERIFY(tab->is_running());
    close_and_wind_down(*window);
    window.reset();  // the tab goes with the window, its batch cancelled, not waited for
    QVERIFY(test::settle_window_work(2000));
    QVERIFY(wind_down_after_window(2000));
    const QStringList written = QDir(path("resized")).entryList(QDir::Files | QDir::Hidden);
    QVERIFY2(written.size() < pictures.size(), "the batch was not cancelled");
    QVERIFY2(cut_off_files(path("resized")).isEmpty(), qPrintable(cut_off_files(path("resized")).join(", ")));
  }

  // A label file on a disk that takes its time: the edits' writes are held at the disk while the
  // window goes on; a step to the next picture waits for them without waiting itself; they land
  // in the order made; closing then lets them land before the program ends.
  void while_the_disk_takes_its_time_with_a_save() {
    test::write_image(path("pics/a.png"), 40, 30);
    test::write_image(path("pics/b.png"), 40, 30);
    auto window = std::make_unique<QuorlanStudio>();
    window->show();
    AnnotatorTab* tab = window->tab_workspace;
    tab->open_folder(path("pics"));
    QVERIFY(test::settle_window_work());
    static std::atomic<bool> held{true};
    static std::atomic<int> writes{0};
    held = true;
    writes = 0;
    set_atomic_write_hook([](const char* step, const QString& file) {
      if (std::strcmp(step, "write") != 0 || !file.endsWith("a.txt")) return;  // the label file's writes
      ++writes;
      while (held) QThread::msleep(2);
    });
    test::find<QComboBox>(*tab, "combo_mode")->setCurrentText("Polygon");
    for (const char* name : {"car", "bus", "car"}) {
      prompts_->dialogs.push_back(test::answer_label(name));
      emit test::find<InteractiveCanvas>(*tab, "canvas")->polygon_completed(QPolygonF({{1, 1}, {20, 1}, {20, 20}}));
    }
    QTRY_VERIFY(writes >= 1);  // the first write is at the disk, held there
    Ticks ticks;
    tab->next_image();
    QTest::qWait(400);
    QVERIFY2(ticks.count >= 10, qPrintable(QString::number(ticks.count)));
    QCOMPARE(tab->queue().current(), 0);  // the step waits for the shapes to land
    window->close();
    QVERIFY(window->isVisible());  // and so does the close
    held = false;
    QVERIFY(test::settle_window_work());
    set_atomic_write_hook(nullptr);
    // The step was taken, then the close: the last write of a.txt holds all three shapes.
    QCOMPARE(tab->queue().current(), 1);
    QVERIFY(!window->isVisible());
    const QStringList lines = test::read_text(path("pics/a.txt")).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith("0 ") && lines[1].startsWith("1 ") && lines[2].startsWith("0 "));
    QVERIFY2(cut_off_files(path("pics")).isEmpty(), qPrintable(cut_off_files(path("pics")).join(", ")));
  }
};

QTEST_MAIN(TestWindowAnswers)
#include "test_window_answers.moc"

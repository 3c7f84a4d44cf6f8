#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGraphicsPixmapItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "annotate/annotator_tab.h"
#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "inference/export_artifact.h"
#include "inference/export_thread.h"
#include "inference/inference_tab.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

// Weights for the engine double: class names and detections as JSON.
QString write_weights(const QString& path, const QString& json) {
  test::write_text(path, json);
  return path;
}

const char* kPersonCar =
    R"({"names": {"0": "person", "1": "car"},
        "detections": [{"cls": 0, "conf": 0.9, "xyxy": [10, 20, 110, 70]},
                       {"cls": 1, "conf": 0.6, "xyxy": [120, 10, 190, 90]}]})";

// The colour the double draws: blue = imgsz % 256, green = conf x 100, red = 40 per detection.
QColor shown_colour(ZoomableView* view) {
  for (QGraphicsItem* item : view->scene()->items())
    if (auto* pix = qgraphicsitem_cast<QGraphicsPixmapItem*>(item)) return pix->pixmap().toImage().pixelColor(1, 1);
  return {};
}

QSize shown_size(ZoomableView* view) {
  for (QGraphicsItem* item : view->scene()->items())
    if (auto* pix = qgraphicsitem_cast<QGraphicsPixmapItem*>(item)) return pix->pixmap().size();
  return {};
}

}  // namespace

class TestInference : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

  QString path(const QString& name) const { return dir_->filePath(name); }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
  }
  void cleanupTestCase() { PredictionHost::instance().shutdown(); }

  void autolabel_boxes_adds_classes_and_saves() {
    test::write_image(path("street.png"), 200, 100);
    test::write_text(path("classes.txt"), "car\n");
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.run_ai_autolabel();  // no model yet: nothing
    QVERIFY(test::settle_window_work());
    QVERIFY(prompts_->messages.isEmpty());

    prompts_->open_files.push_back("");  // cancelled
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::find<QPushButton>(tab, "btn_run_ai")->isEnabled());
    prompts_->open_files.push_back(write_weights(path("boxes.pt"), kPersonCar));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->asked_titles.last(), QString("Load YOLO AI Model"));
    QVERIFY(test::find<QPushButton>(tab, "btn_run_ai")->isEnabled());
    QCOMPARE(prompts_->messages.last().title, QString("AI Model Loaded"));
    QCOMPARE(prompts_->messages.last().text, QString("Loaded model: boxes.pt"));

    test::find<QDoubleSpinBox>(tab, "spin_ai_conf")->setValue(0.95);  // above every score
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("AI Assist"));
    QCOMPARE(prompts_->messages.last().text, QString("No objects detected at current confidence threshold."));
    QCOMPARE(tab.shapes_on_screen().size(), 0);

    test::find<QDoubleSpinBox>(tab, "spin_ai_conf")->setValue(0.25);
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("AI Success"));
    QCOMPARE(prompts_->messages.last().text, QString("Successfully auto-labeled 2 object(s)."));
    QCOMPARE(tab.class_names(), QStringList({"car", "person"}));
    QCOMPARE(test::read_text(path("classes.txt")), QString("car\nperson\n"));
    QCOMPARE(tab.shapes_on_screen().size(), 2);
    QCOMPARE(tab.shapes_on_screen()[0].shown.type, QString("AI Rectangle"));
    QCOMPARE(test::find<QTableWidget>(tab, "table_objects")->item(0, 1)->text(), QString("AI Rectangle"));
    // A folder without labels takes a detector's boxes as box lines.
    QCOMPARE(test::read_text(path("street.txt")),
             QString("1 0.300000 0.450000 0.500000 0.500000\n0 0.775000 0.500000 0.350000 0.800000\n"));
    QCOMPARE(test::find<QLabel>(tab, "lbl_label_kind")->text(), QString("Labels: Boxes"));
    QVERIFY(QApplication::overrideCursor() == nullptr);

    tab.run_ai_autolabel();  // a second run adds the proposals again
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 4);
    tab.undo();  // one step takes the whole run back, on screen and in the file
    QCOMPARE(tab.shapes_on_screen().size(), 2);
    QCOMPARE(test::read_text(path("street.txt")).count('\n'), 2);
    tab.undo();
    QVERIFY(!test::file_exists(path("street.txt")));
    tab.redo();
    QCOMPARE(tab.shapes_on_screen().size(), 2);

    test::await_writes();
    AnnotatorTab reread;
    reread.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(reread.shapes_on_screen()[0].shown.type, QString("Rectangle"));
  }

  void autolabel_masks_and_failures() {
    test::write_image(path("a.png"), 100, 100);
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    prompts_->open_files.push_back(write_weights(path("seg.pt"), R"({"names": {"0": "blob"},
        "detections": [{"cls": 0, "conf": 0.8, "xyxy": [10, 10, 50, 50], "polygon": [[10, 10], [50, 12], [30, 50]]}]})"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    QCOMPARE(tab.shapes_on_screen()[0].shown.type, QString("AI Polygon"));
    QCOMPARE(tab.shapes_on_screen()[0].item->polygon(), QPolygonF({{10, 10}, {50, 12}, {30, 50}}));
    QCOMPARE(test::read_text(path("a.txt")), QString("0 0.100000 0.100000 0.500000 0.120000 0.300000 0.500000\n"));

    // A weights file the engine cannot load: the box names the engine's reason, the model stays.
    prompts_->open_files.push_back(write_weights(path("broken.pt"), "corrupt"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().kind, MessageKind::Critical);
    QCOMPARE(prompts_->messages.last().title, QString("Error"));
    QVERIFY(prompts_->messages.last().text.contains("invalid load key"));
    QCOMPARE(tab.model()->weights(), path("seg.pt"));
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 2);

    prompts_->open_files.push_back(write_weights(path("oom.pt"), R"({"fail_predict": "CUDA out of memory"})"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("AI Error"));
    QCOMPARE(prompts_->messages.last().text, QString("An error occurred during auto-labeling:\nCUDA out of memory"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QCOMPARE(tab.shapes_on_screen().size(), 2);
  }

  void inference_browser_pages_and_repredicts() {
    QDir(dir_->path()).mkpath("images/sub");
    for (const char* name : {"b.png", "a.JPG", "c.webp"}) test::write_image(path(QString("images/") + name), 20, 10);
    test::write_text(path("images/notes.txt"), "x");
    test::write_image(path("images/sub/d.png"), 5, 5);
    QCOMPARE(list_inference_images(path("images")),
             QStringList({path("images/a.JPG"), path("images/b.png"), path("images/c.webp")}));

    InferenceTab tab;
    QCOMPARE(test::find<QLineEdit>(tab, "entry_inf_weights")->text(),
             QString("runs/detect/tavrin_yolo_run/weights/best.pt"));
    QCOMPARE(test::find<QLineEdit>(tab, "entry_export_dir")->text(), QString("exports"));
    QCOMPARE(test::find<QComboBox>(tab, "combo_export_format")->count(), 5);
    test::find<QDoubleSpinBox>(tab, "spin_inf_conf")->setValue(0.5);  // no model yet: nothing happens
    QVERIFY(test::settle_window_work());
    tab.inf_next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "lbl_inf_counter")->text(), QString("0 / 0"));
    QVERIFY(prompts_->messages.isEmpty());

    tab.init_inference();  // the default weights do not exist here
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().text, QString("Ensure weights and inference folder paths are valid."));

    test::find<QLineEdit>(tab, "entry_inf_weights")->setText(" " + write_weights(path("m.pt"), kPersonCar) + " ");
    prompts_->directories.push_back(path("images"));
    tab.findChild<QPushButton*>("btn_browse_folder")->click();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLineEdit>(tab, "entry_inf_folder")->text(), path("images"));
    test::find<QDoubleSpinBox>(tab, "spin_inf_conf")->setValue(0.25);
    QVERIFY(test::settle_window_work());
    tab.init_inference();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "lbl_inf_counter")->text(), QString("1 / 3 - a.JPG"));
    QCOMPARE(shown_colour(test::find<ZoomableView>(tab, "inf_view")),
             QColor(80, 25, 640 % 256));  // RGB: 2 boxes, conf 25, imgsz 640

    tab.inf_prev_image();  // wraps to the last
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "lbl_inf_counter")->text(), QString("3 / 3 - c.webp"));
    tab.inf_next_image();  // and back to the first
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "lbl_inf_counter")->text(), QString("1 / 3 - a.JPG"));
    tab.inf_next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "lbl_inf_counter")->text(), QString("2 / 3 - b.png"));

    test::find<QSpinBox>(tab, "spin_inf_imgsz")->setValue(320);  // re-predicted with the new size
    QVERIFY(test::settle_window_work());
    QCOMPARE(shown_colour(test::find<ZoomableView>(tab, "inf_view")).blue(), 320 % 256);
    test::find<QDoubleSpinBox>(tab, "spin_inf_conf")->setValue(0.7);  // one detection left
    QVERIFY(test::settle_window_work());
    QCOMPARE(shown_colour(test::find<ZoomableView>(tab, "inf_view")), QColor(40, 70, 320 % 256));

    // A prediction failure keeps the view, the counter and the page.
    const QColor before = shown_colour(test::find<ZoomableView>(tab, "inf_view"));
    write_weights(path("m.pt"), R"({"fail_predict": "engine exploded"})");
    tab.init_inference();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Inference Error"));
    QCOMPARE(prompts_->messages.last().text, QString("engine exploded"));
    QCOMPARE(shown_colour(test::find<ZoomableView>(tab, "inf_view")), before);
    QCOMPARE(test::find<QLabel>(tab, "lbl_inf_counter")->text(), QString("2 / 3 - b.png"));
  }

  void export_moves_files_and_folders() {
    QDir().mkpath(path("w"));
    const QString weights = write_weights(path("w/best.pt"), "{}");
    struct Case {
      QString format;
      QString artefact;
      bool folder;
    } cases[] = {{"onnx", "best.onnx", false}, {"openvino", "best_openvino_model", true}};
    for (const Case& c : cases) {
      for (int round = 0; round < 2; ++round) {  // the second export replaces the first
        ExportThread thread(weights, c.format, path("exports/deep"));
        QSignalSpy done(&thread, &ExportThread::finished_signal);
        QSignalSpy errors(&thread, &ExportThread::error_signal);
        if (round == 1 && c.folder) test::write_text(path("exports/deep/best_openvino_model/stale.bin"), "old");
        thread.start();
        QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), 60000);
        QTRY_COMPARE(done.count() + errors.count(), 1);
        QVERIFY2(done.count() == 1, qPrintable(errors.isEmpty() ? QString() : errors[0][0].toString()));
        QCOMPARE(done[0][0].toString(), path("exports/deep/") + c.artefact);
        QVERIFY(test::file_exists(path("exports/deep/") + c.artefact));
        QVERIFY(!test::file_exists(path("w/") + c.artefact));
        QCOMPARE(QFileInfo(path("exports/deep/") + c.artefact).isDir(), c.folder);
        if (c.folder) QVERIFY(!test::file_exists(path("exports/deep/best_openvino_model/stale.bin")));
      }
    }
    // The artefact already lies in the target folder: nothing moves.
    ExportThread same(weights, "torchscript", path("w"));
    QSignalSpy done(&same, &ExportThread::finished_signal);
    same.start();
    QTRY_VERIFY_WITH_TIMEOUT(same.isFinished(), 60000);
    QTRY_COMPARE(done.count(), 1);
    QCOMPARE(done[0][0].toString(), path("w/best.torchscript"));
    QVERIFY(test::file_exists(path("w/best.torchscript")));

    ExportThread bad(weights, "tflite-ish", path("exports"));
    QSignalSpy errors(&bad, &ExportThread::error_signal);
    bad.start();
    QTRY_VERIFY_WITH_TIMEOUT(bad.isFinished(), 60000);
    QTRY_COMPARE(errors.count(), 1);
    QVERIFY(errors[0][0].toString().contains("Invalid export format"));
  }

  void export_button_checks_and_reports() {
    InferenceTab tab;
    test::find<QLineEdit>(tab, "entry_inf_weights")->setText(path("missing.pt"));
    tab.run_model_export();
    QCOMPARE(prompts_->messages.last().title, QString("Error"));
    QCOMPARE(prompts_->messages.last().text, QString("Select a valid weights file first."));
    test::find<QLineEdit>(tab, "entry_inf_weights")->setText(write_weights(path("m.pt"), "{}"));
    test::find<QLineEdit>(tab, "entry_export_dir")->setText(path("out"));
    tab.run_model_export();
    QTRY_VERIFY_WITH_TIMEOUT(prompts_->messages.last().title == "Export Success", 60000);
    QCOMPARE(prompts_->messages.last().text, "Model exported to:\n" + path("out/m.onnx"));
  }

  void moving_artefacts_directly() {
    const Expected<QString> missing = move_export_artifact(path("nothing.onnx"), path("out"));
    QVERIFY(!missing);
    QVERIFY(missing.error().contains("does not exist"));
    test::write_text(path("a.onnx"), "new");
    QDir().mkpath(path("out/a.onnx"));  // a folder in the way is replaced too
    QCOMPARE(*move_export_artifact(path("a.onnx"), path("out")), path("out/a.onnx"));
    QCOMPARE(test::read_text(path("out/a.onnx")), QString("new"));
  }

  // Without the engine, its own weights are refused with one message; an exported model is not.
  void missing_engine_is_reported_for_engine_weights_only() {
    const QByteArray saved = qgetenv("PYTHONPATH");
    qputenv("PYTHONPATH", dir_->path().toLocal8Bit());  // no engine package there
    reset_engine_probes();
    const bool available = HAS_YOLO();
    AnnotatorTab annotator;
    prompts_->open_files.push_back(path("best.pt"));
    annotator.load_ai_model();
    QVERIFY(test::settle_window_work());
    InferenceTab browser;
    test::find<QLineEdit>(browser, "entry_inf_weights")->setText(path("best.pt"));
    browser.init_inference();
    QVERIFY(test::settle_window_work());
    if (available) {
      qputenv("PYTHONPATH", saved);
      reset_engine_probes();
      QSKIP("the interpreter here has the engine installed itself");
    }
    QCOMPARE(prompts_->messages.size(), 2);
    for (const auto& m : prompts_->messages) {
      QCOMPARE(m.title, QString("Error"));
      QCOMPARE(m.text, QString("Ultralytics is not installed."));
    }

    // The exported model of the engine's small test model, on a picture of squares and discs.
    prompts_->messages.clear();
    const QString native = QStringLiteral(QUORLAN_NATIVE_DATA);
    QVERIFY(QFile::copy(native + "/tiny-seg.onnx", path("tiny-seg.onnx")));
    QVERIFY(QFile::copy(native + "/pictures/square.png", path("square.png")));
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    prompts_->open_files.push_back(path("tiny-seg.onnx"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("AI Model Loaded"));
    QVERIFY(test::find<QLabel>(tab, "lbl_ai_runtime")->text().contains("OpenVINO"));
    test::find<QDoubleSpinBox>(tab, "spin_ai_conf")->setValue(0.05);
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("AI Success"));
    QVERIFY(!tab.shapes_on_screen().isEmpty());
    QVERIFY(tab.shapes_on_screen()[0].shown.type == QString("AI Polygon"));
    const QStringList names = test::read_text(path("classes.txt")).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!names.isEmpty());
    for (const QString& name : names) QVERIFY2(name == "square" || name == "disc", qPrintable(name));
    QCOMPARE(test::read_text(path("square.txt")).count('\n'), tab.shapes_on_screen().size());

    InferenceTab shown;
    test::find<QLineEdit>(shown, "entry_inf_weights")->setText(path("tiny-seg.onnx"));
    test::find<QLineEdit>(shown, "entry_inf_folder")->setText(dir_->path());
    test::find<QDoubleSpinBox>(shown, "spin_inf_conf")->setValue(0.05);
    QVERIFY(test::settle_window_work());
    shown.init_inference();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(shown, "lbl_inf_counter")->text(), QString("1 / 1 - square.png"));
    QVERIFY(test::find<QLabel>(shown, "lbl_inf_runtime")->text().contains("OpenVINO"));
    QCOMPARE(shown_size(test::find<ZoomableView>(shown, "inf_view")), QSize(160, 160));

    // A file that is not a model says so, and the previous model stays.
    test::write_text(path("broken.onnx"), "not a model");
    prompts_->open_files.push_back(path("broken.onnx"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Error"));
    QVERIFY(prompts_->messages.last().text.contains("broken.onnx is not an ONNX model"));
    QVERIFY(test::find<QPushButton>(tab, "btn_run_ai")->isEnabled());
    qputenv("PYTHONPATH", saved);
    reset_engine_probes();
  }

  // Auto-labelling waits for the engine beside the window: timers (painting, the training console)
  // go on, and the busy box's Cancel ends the wait with nothing written.
  void the_window_keeps_handling_events_while_the_engine_predicts() {
    test::write_image(path("slow.png"), 40, 30);
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    prompts_->open_files.push_back(write_weights(path("slow.pt"), R"({"predict_seconds": 1.0, "names": {"0": "car"},
        "detections": [{"cls": 0, "conf": 0.9, "xyxy": [5, 5, 20, 20]}]})"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    QVERIFY(tab.model());
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(50);
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QCOMPARE(prompts_->messages.last().title, QString("AI Success"));
    QVERIFY(test::file_exists(path("slow.txt")));

    test::write_image(path("wait.png"), 40, 30);
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    tab.jump_to_image(static_cast<int>(tab.queue().paths().indexOf(path("wait.png"))));
    QVERIFY(test::settle_window_work());
    prompts_->open_files.push_back(write_weights(path("slower.pt"), R"({"predict_seconds": 30})"));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    const qsizetype shown = prompts_->messages.size();
    bool box_seen = false;
    QObject::disconnect(&timer, nullptr, nullptr, nullptr);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "busy_progress" && w->isVisible() && w->findChild<QPushButton*>()) {
          box_seen = true;
          w->findChild<QPushButton*>()->click();
        }
    });
    QElapsedTimer clock;
    clock.start();
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QVERIFY(box_seen);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(prompts_->messages.size(), shown);  // cancelled: no error, no success
    QVERIFY(!test::file_exists(path("wait.txt")));
    QVERIFY(tab.picture_document().shapes().isEmpty());
  }

  void a_host_that_is_gone_or_cancelled_ends_the_wait_at_once() {
    test::write_image(path("gone.png"), 30, 30);
    PredictionHost& host = PredictionHost::instance();
    // The host answers the load and is gone while the prediction is waited for: the wait ends
    // with the host's end, not at the ten-minute deadline.
    const auto model =
        host.load("gone", write_weights(path("gone.pt"), R"({"exit_after_load": true, "predict_seconds": 20})"));
    QVERIFY2(model, qPrintable(model.error()));
    QElapsedTimer clock;
    clock.start();
    const auto lost = host.predict(*model, path("gone.png"), 0.25, 0, false);
    QVERIFY(!lost);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    // A host already gone when the request is sent is started again with the model.
    const auto back = host.load("back", write_weights(path("back.pt"), R"({"exit_after_load": true})"));
    QVERIFY(back);
    QTest::qWait(600);
    QVERIFY(host.predict(*back, path("gone.png"), 0.25, 0, false));
    QTest::qWait(600);  // that host ends again after its load
    // A slow prediction cancelled (Ctrl+C, the window closing) ends at once.
    const auto slow = host.load("slow2", write_weights(path("slow2.pt"), R"({"predict_seconds": 30})"));
    QVERIFY(slow);
    // The caller waits blocked; the cancel comes from another thread, as the busy box's does.
    std::unique_ptr<QThread> canceller(QThread::create([&] {
      QThread::msleep(300);
      host.cancel();
    }));
    canceller->start();
    clock.restart();
    const auto cancelled = host.predict(*slow, path("gone.png"), 0.25, 0, false);
    canceller->wait();
    QVERIFY(!cancelled);
    QCOMPARE(cancelled.error(), QString("Cancelled."));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
  }

  void dead_host_is_restarted_with_its_models() {
    test::write_image(path("x.png"), 30, 30);
    AnnotatorTab tab;
    tab.open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    prompts_->open_files.push_back(write_weights(path("m.pt"), kPersonCar));
    tab.load_ai_model();
    QVERIFY(test::settle_window_work());
    PredictionHost::instance().shutdown();  // as if the host had died
    tab.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    QVERIFY2(prompts_->messages.last().title == "AI Success", qPrintable(prompts_->messages.last().text));
  }
};

QTEST_MAIN(TestInference)
#include "test_inference.moc"

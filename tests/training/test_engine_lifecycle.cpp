// The edges of an engine run's life, with the engine double: stops at any moment, closing the
// window during any run, a strict protocol both ways, progress without callbacks.
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "app/quorlan_studio.h"
#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "inference/inference_tab.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "training/config_tab.h"
#include "training/trainer_thread.h"
#include "training/training_tab.h"
#include "training/tuner_thread.h"

using namespace quorlan;

namespace {

const int kRunTimeout = 60000;

bool process_alive(qint64 pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0; }

qint64 read_pid(const QString& path) { return test::read_text(path).trimmed().toLongLong(); }

}  // namespace

class TestEngineLifecycle : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

  QVariantMap params(const QString& model, int epochs) const {
    return test::small_run_params(model, dir_->filePath("data.yaml"), dir_->filePath("runs"), "run", epochs);
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
    test::write_text(dir_->filePath("data.yaml"), "path: .\n");
  }

  void stop_before_training_starts_is_honoured() {
    YoloTrainerThread thread(params("slow.yaml", 5));
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy stopped(&thread, &YoloTrainerThread::stopped_signal);
    QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
    thread.stop();  // clicked while the host is still starting
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), kRunTimeout);
    QTRY_COMPARE(stopped.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(progress.count(), 0);
  }

  void a_stopped_epoch_is_never_reported() {
    YoloTrainerThread thread(params("slow.yaml", 3));
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy stopped(&thread, &YoloTrainerThread::stopped_signal);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(progress.count() >= 1, kRunTimeout);  // epoch 1 of 3 done
    thread.stop();                                                 // inside epoch 2
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), kRunTimeout);
    QTRY_COMPARE(stopped.count(), 1);
    // Epoch 1 once; neither the cut epoch 2 nor the engine's extra end-of-epoch call after it.
    QCOMPARE(progress.count(), 1);
    QVERIFY(progress[0][1].toString().startsWith("Epoch 1/3 (33%)"));
  }

  void engine_errors_arrive_clean_and_at_once() {
    // Escape codes never reach the error box.
    YoloTrainerThread failing(params("ansierror.yaml", 1));
    QSignalSpy errors(&failing, &YoloTrainerThread::error_signal);
    failing.start();
    QTRY_VERIFY_WITH_TIMEOUT(failing.isFinished(), kRunTimeout);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors[0][0].toString(), QString("val: Error loading data from missing/images"));

    // A built-in weights name offline is reported at once, saying what is missing and why.
    qputenv("YOLO_OFFLINE", "true");
    YoloTrainerThread offline(params("yolov8s.pt", 1));
    QSignalSpy offline_errors(&offline, &YoloTrainerThread::error_signal);
    QElapsedTimer clock;
    clock.start();
    offline.start();
    QTRY_VERIFY_WITH_TIMEOUT(offline.isFinished(), kRunTimeout);
    qunsetenv("YOLO_OFFLINE");
    QTRY_COMPARE(offline_errors.count(), 1);
    const QString text = offline_errors[0][0].toString();
    QVERIFY2(text.contains("'yolov8s.pt' does not exist") && text.contains("offline"), qPrintable(text));

    // A NaN metric travels as null: the run ends, it does not wait for ever.
    QVariantMap nan_params = params("nan.yaml", 1);
    nan_params["name"] = "nan_run";  // the double's validation of runs/nan_run/weights/best.pt reports NaN
    YoloTrainerThread nan_run(nan_params);
    QSignalSpy finished(&nan_run, &YoloTrainerThread::finished_signal);
    nan_run.start();
    QTRY_VERIFY_WITH_TIMEOUT(nan_run.isFinished(), kRunTimeout);
    QTRY_COMPARE(finished.count(), 1);
    const QVariantMap metrics = finished[0][0].toMap().value("metrics").toMap();
    QVERIFY(metrics.contains("metrics/mAP50(B)"));
    QCOMPARE(metrics.value("metrics/mAP50(B)").userType(), int(QMetaType::Nullptr));
  }

  void the_protocol_is_strict_both_ways() {
    // The host answers every malformed request and keeps reading.
    QProcess host;
    host.start(engine_python(), {"-u", engine_host_script()});
    QVERIFY(host.waitForStarted());
    host.write(
        "[1]\n42\nnot json\n{\"cmd\": \"load\", \"key\": \"a\"}\n{\"cmd\": \"train\", \"params\": {}}\n"
        "{\"cmd\": \"probe\"}\n");
    QStringList lines;
    QElapsedTimer clock;
    clock.start();
    while (lines.size() < 6 && clock.elapsed() < 30000) {
      host.waitForReadyRead(200);
      while (host.canReadLine()) lines << QString::fromUtf8(host.readLine()).trimmed();
    }
    host.closeWriteChannel();
    host.waitForFinished(5000);
    QCOMPARE(lines.size(), 6);
    QVERIFY(lines[0].contains("must be a JSON object, not list"));
    QVERIFY(lines[1].contains("must be a JSON object, not int"));
    QVERIFY(lines[2].contains("not JSON"));
    QVERIFY(lines[3].contains("lacks 'weights'"));
    QVERIFY(lines[4].contains("lack 'data_yaml'"));
    QVERIFY(lines[5].contains("\"probe\""));

    // A host line that is not a JSON object ends the request at once with a message.
    const QString fake = dir_->filePath("fake_host.py");
    test::write_text(fake,
                     "import sys, time\nsys.stdin.readline()\nprint('{\"event\": \"x\", \"v\": NaN', flush=True)\n"
                     "time.sleep(60)\n");
    qputenv("QUORLAN_ENGINE_SCRIPT", fake.toUtf8());
    clock.restart();
    EngineRun run;
    const Expected<EngineRun::Reply> reply = run.command({{"cmd", "export"}}, "exported", [](const QString&) {});
    qputenv("QUORLAN_ENGINE_SCRIPT", (QString(QUORLAN_SOURCE_DIR) + "/engine/quorlan_engine.py").toUtf8());
    QVERIFY(!reply);
    QVERIFY2(reply.error().contains("not a JSON object"), qPrintable(reply.error()));
    QVERIFY(clock.elapsed() < 20000);
  }

  void progress_follows_results_csv_without_callbacks() {
    // Multi-GPU training runs the epochs in worker processes: no callback reaches the host.
    YoloTrainerThread thread(params("ddp.yaml", 3));
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), kRunTimeout);
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(progress.count() >= 2);  // at least one epoch from results.csv, then the validation
    QVERIFY(progress[0][1].toString().startsWith("Epoch "));
    QCOMPARE(progress[0][2].toString(), dir_->filePath("runs/run/live_loss_plot.png"));
    QVERIFY(QFileInfo::exists(dir_->filePath("runs/run/live_loss_plot.png")));

    // Stop ends the workers; the run ends as stopped.
    YoloTrainerThread stopping(params("ddp.yaml", 40));
    QSignalSpy first(&stopping, &YoloTrainerThread::progress_signal);
    QSignalSpy stopped(&stopping, &YoloTrainerThread::stopped_signal);
    stopping.start();
    QTRY_VERIFY_WITH_TIMEOUT(first.count() >= 1, kRunTimeout);
    stopping.stop();
    QTRY_VERIFY_WITH_TIMEOUT(stopping.isFinished(), 20000);
    QTRY_COMPARE(stopped.count(), 1);
  }

  void closing_the_window_during_tuning_or_export_leaves_nothing() {
    auto window = std::make_unique<QuorlanStudio>();
    test::find<QLineEdit>(*window->tab_config, "data_yaml_input")->setText(dir_->filePath("data.yaml"));
    test::find<QLineEdit>(*window->tab_config, "project_dir_input")->setText(dir_->filePath("runs"));
    test::find<QComboBox>(*window->tab_config, "model_combo")->setCurrentText("slowtune.yaml");
    window->start_automl_tuning();
    QVERIFY(test::settle_window_work());
    const QString pid_file = dir_->filePath("runs/tavrin_yolo_run_tune/tune/child.pid");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pid_file) && read_pid(pid_file) > 0, kRunTimeout);
    const qint64 child = read_pid(pid_file);
    QVERIFY(process_alive(child));

    // A second export while one runs is refused; closing ends it without a box.
    test::write_text(dir_->filePath("slow.pt"), "weights");
    InferenceTab* inference = window->tab_inference;
    test::find<QLineEdit>(*inference, "entry_inf_weights")->setText(dir_->filePath("slow.pt"));
    test::find<QLineEdit>(*inference, "entry_export_dir")->setText(dir_->filePath("exports"));
    inference->run_model_export();
    QVERIFY(inference->export_active());
    inference->run_model_export();
    QCOMPARE(prompts_->messages.last().title, QString("Run Active"));
    const int shown = prompts_->messages.size();

    QElapsedTimer clock;
    clock.start();
    window->close();
    QVERIFY(clock.elapsed() < 10000);
    QCoreApplication::sendPostedEvents();
    QTest::qWait(200);
    QCOMPARE(prompts_->messages.size(), shown);  // no "AutoML Error" or "Export Error" box
    QTRY_VERIFY_WITH_TIMEOUT(!process_alive(child), 5000);
    window.reset();
  }

  void device_box_offers_every_gpu() {
    ConfigTab tab;
    QCOMPARE(test::find<QComboBox>(tab, "device_combo")->count(), 2);
    QCOMPARE(tab.selected_device(), QString("auto"));
    tab.set_gpu_count(2);
    QStringList texts;
    for (int i = 0; i < test::find<QComboBox>(tab, "device_combo")->count(); ++i)
      texts << test::find<QComboBox>(tab, "device_combo")->itemText(i);
    QCOMPARE(texts, QStringList({"Auto", "CPU", "cuda:0", "cuda:1", "All GPUs"}));
    test::find<QComboBox>(tab, "device_combo")->setCurrentIndex(4);
    QCOMPARE(tab.selected_device(), QString("0,1"));
    test::find<QComboBox>(tab, "device_combo")->setCurrentIndex(1);
    QCOMPARE(tab.training_params("d.yaml", tab.selected_device()).value("device").toString(), QString("cpu"));
    tab.set_gpu_count(1);
    QCOMPARE(test::find<QComboBox>(tab, "device_combo")->count(), 3);
  }
};

QTEST_MAIN(TestEngineLifecycle)
#include "test_engine_lifecycle.moc"

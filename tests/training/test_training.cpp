#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QtTest>

#include "app/quorlan_studio.h"
#include "engine_client/console_stream.h"
#include "engine_client/engine_host.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "training/config_tab.h"
#include "training/trainer_thread.h"
#include "training/training_math.h"
#include "training/training_tab.h"
#include "training/tuner_thread.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

QVariantMap train_params(const QString& root, const QString& model, int epochs = 2) {
  return test::small_run_params(model, QDir(root).filePath("data.yaml"), QDir(root).filePath("runs"), "run", epochs);
}

const int kRunTimeout = 60000;

}  // namespace

class TestTraining : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
    test::write_text(dir_->filePath("data.yaml"), "path: .\n");
  }

  void progress_and_eta_texts() {
    QCOMPARE(eta_text(754), QString("00:12:34"));
    QCOMPARE(eta_text(0.9), QString("00:00:00"));
    QCOMPARE(eta_text(86400 + 3661), QString("01:01:01"));  // a day or more wraps
    QCOMPARE(epoch_status_text(1, 1, 5.0), QString("Epoch 1/1 (100%) | ETA: 00:00:00"));
    QCOMPARE(epoch_status_text(1, 3, 10.0), QString("Epoch 1/3 (33%) | ETA: 00:00:20"));
    QCOMPARE(progress_percent(29, 100), 28);  // 29 / 100 * 100 is 28.999... in real arithmetic
    QCOMPARE(progress_percent(3, 3), 100);
  }

  void console_cleaning_and_split_escape_codes() {
    QStringList out;
    ConsoleStream stream([&](const QString& t) { out << t; });
    const QString esc(QChar(27));
    stream.write(esc + "[32mword" + esc + "[0m\n");
    stream.write("\r");
    stream.write(esc + "[2K");
    stream.write("\r 10%");
    stream.write("\r 20%");
    QCOMPARE(out, QStringList({"word\n", " 10%", " 20%"}));
    out.clear();
    stream.write_bytes(QByteArray("a\x1b["));  // the code is completed by the next piece
    stream.write_bytes(QByteArray("31mred\x1b[0m \xe2\x9c"));
    stream.write_bytes(QByteArray("\x85 ok\n"));
    QCOMPARE(out.join(QString()), QString("ared ✅ ok\n"));
    QVERIFY(stream.isatty());
  }

  void result_plot_patterns_in_order() {
    QTemporaryDir run;
    for (const char* name : {"BoxF1_curve.png", "live_loss_plot.png", "a_confusion_matrix_x.png", "BoxPR_curve.png"})
      test::write_text(run.filePath(name), "x");
    const auto& p = result_plot_patterns();
    QCOMPARE(find_result_plot(run.path(), p[0].patterns), run.filePath("live_loss_plot.png"));
    QCOMPARE(find_result_plot(run.path(), p[1].patterns), run.filePath("a_confusion_matrix_x.png"));
    QCOMPARE(find_result_plot(run.path(), p[2].patterns), run.filePath("BoxF1_curve.png"));
    QCOMPARE(find_result_plot(run.path(), p[3].patterns), run.filePath("BoxPR_curve.png"));
    QCOMPARE(find_result_plot(run.path(), p[4].patterns), QString());
    test::write_text(run.filePath("results.png"), "x");
    test::write_text(run.filePath("f1_curve.png"), "x");  // shell wildcards are case-sensitive
    QCOMPARE(find_result_plot(run.path(), p[0].patterns), run.filePath("results.png"));
    QCOMPARE(find_result_plot(run.path(), p[2].patterns), run.filePath("BoxF1_curve.png"));
  }

  void newest_result_file_and_yaml_reading() {
    QTemporaryDir project;
    QDir(project.path()).mkpath("old/deep");
    QDir(project.path()).mkpath("new");
    test::write_text(project.filePath("old/deep/best_hyperparameters.yaml"), "lr0: 0.5\n");
    QThread::msleep(20);
    test::write_text(project.filePath("new/best_hyperparameters.yaml"), "lr0: 0.002\nlrf: 0.3\nname: x\n");
    const QString newest = newest_file_named(project.path(), "best_hyperparameters.yaml");
    QCOMPARE(newest, project.filePath("new/best_hyperparameters.yaml"));
    const auto map = read_yaml_mapping(newest);
    QVERIFY(map);
    QCOMPARE(map->value("lr0").toDouble(), 0.002);
    QCOMPARE(map->value("name").toString(), QString("x"));
    test::write_text(project.filePath("list.yaml"), "- 1\n- 2\n");
    const auto list = read_yaml_mapping(project.filePath("list.yaml"));
    QVERIFY(!list);
    QVERIFY(list.error().contains("mapping"));
    QCOMPARE(newest_file_named(project.filePath("new/none"), "best_hyperparameters.yaml"), QString());
  }

  void trainer_reports_progress_console_and_result() {
    YoloTrainerThread thread(train_params(dir_->path(), "yolov8n.pt", 2));
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
    QSignalSpy errors(&thread, &YoloTrainerThread::error_signal);
    QSignalSpy stopped(&thread, &YoloTrainerThread::stopped_signal);
    QString console;
    connect(&thread, &YoloTrainerThread::log_signal, &thread, [&](const QString& t) { console += t; });
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), kRunTimeout);
    QCoreApplication::sendPostedEvents();  // the console lines queued before the end
    QTRY_COMPARE(finished.count() + errors.count() + stopped.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(progress.count(), 3);  // two epochs, each once, then the validation
    QCOMPARE(progress[0][0].toInt(), 50);
    QVERIFY(progress[0][1].toString().startsWith("Epoch 1/2 (50%) | ETA: 00:00:0"));
    QCOMPARE(progress[1][0].toInt(), 100);
    QCOMPARE(progress[2][1].toString(), QString("Evaluating Validation Metrics..."));
    // Each epoch sends the live chart drawn from results.csv; the validation step sends none.
    const QString chart = QDir(dir_->path()).filePath("runs/run/live_loss_plot.png");
    QCOMPARE(progress[0][2].toString(), chart);
    QCOMPARE(progress[1][2].toString(), chart);
    QCOMPARE(progress[2][2].toString(), QString());
    QCOMPARE(QImage(chart).size(), QSize(1600, 800));
    const QVariantMap record = finished[0][0].toMap();
    QCOMPARE(record["save_dir"].toString(), QDir(dir_->path()).filePath("runs/run"));
    QVERIFY(record.contains("metrics"));
    QVERIFY(console.contains("train: Starting training for 2 epochs...\n"));
    QVERIFY(console.contains("  1/2 batch 1/3  1/2 batch 2/3"));
    QVERIFY(console.contains("epoch 2 done\n"));
    QVERIFY(!console.contains(QChar(27)) && !console.contains('\r'));
  }

  void stop_at_a_batch_end_skips_validation() {
    YoloTrainerThread thread(train_params(dir_->path(), "slow.yaml", 50));
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
    QSignalSpy stopped(&thread, &YoloTrainerThread::stopped_signal);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(progress.count() >= 1, kRunTimeout);
    thread.stop();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), kRunTimeout);
    QCoreApplication::sendPostedEvents();  // the console lines queued before the end
    QTRY_COMPARE(stopped.count(), 1);
    QCOMPARE(finished.count(), 0);
    for (const auto& p : progress) QVERIFY(p[1].toString() != "Evaluating Validation Metrics...");
    QVERIFY(progress.count() < 10);
  }

  void failures_end_with_one_error() {
    struct Case {
      QString model;
      QString data;
      QString expected;
    } cases[] = {
        {"yolov8n.pt", "missing.yaml", "does not exist"},
        {"noweights.yaml", "data.yaml", "best.pt"},
        {"crash.yaml", "data.yaml", "out of memory"},
        {"/nowhere/weights.pt", "data.yaml", "No such file"},
    };
    for (const Case& c : cases) {
      QVariantMap params = train_params(dir_->path(), c.model, 1);
      params["data_yaml"] = QDir(dir_->path()).filePath(c.data);
      YoloTrainerThread thread(params);
      QSignalSpy errors(&thread, &YoloTrainerThread::error_signal);
      QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
      QSignalSpy stopped(&thread, &YoloTrainerThread::stopped_signal);
      thread.start();
      QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), kRunTimeout);
      QCoreApplication::sendPostedEvents();  // the console lines queued before the end
      QTRY_COMPARE(errors.count(), 1);
      QCOMPARE(finished.count() + stopped.count(), 0);
      QVERIFY2(errors[0][0].toString().contains(c.expected), qPrintable(errors[0][0].toString()));
    }
  }

  void missing_engine_is_reported() {
    const QByteArray saved = qgetenv("PYTHONPATH");
    qputenv("PYTHONPATH", dir_->path().toLocal8Bit());  // no engine package there
    reset_engine_probes();
    const bool available = HAS_YOLO();
    YoloTrainerThread trainer(train_params(dir_->path(), "yolov8n.pt"));
    QSignalSpy errors(&trainer, &YoloTrainerThread::error_signal);
    YoloTunerThread tuner(QVariantMap{});
    QSignalSpy tuner_errors(&tuner, &YoloTunerThread::error_signal);
    trainer.start();
    tuner.start();
    QTRY_VERIFY_WITH_TIMEOUT(trainer.isFinished() && tuner.isFinished(), kRunTimeout);
    qputenv("PYTHONPATH", saved);
    reset_engine_probes();
    if (available) QSKIP("the interpreter here has the engine installed itself");
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors[0][0].toString(), QString("Ultralytics library is not installed."));
    QTRY_COMPARE(tuner_errors.count(), 1);
    QCOMPARE(tuner_errors[0][0].toString(), QString("Ultralytics library is not installed."));
    QVERIFY(HAS_YOLO());
  }

  void tuner_takes_the_newest_result() {
    const QString project = QDir(dir_->path()).filePath("runs");
    QDir().mkpath(project + "/older");
    test::write_text(project + "/older/best_hyperparameters.yaml", "lr0: 0.9\n");
    QThread::msleep(20);
    for (const auto& [epochs, lr0] : {std::pair{100, 0.01}, std::pair{3, 0.003}}) {
      YoloTunerThread tuner(QVariantMap{{"model_path", "yolov8n.pt"},
                                        {"data_yaml", QDir(dir_->path()).filePath("data.yaml")},
                                        {"project", project},
                                        {"name", QStringLiteral("exp%1_tune").arg(epochs)},
                                        {"epochs", epochs},
                                        {"optimizer", "SGD"}});
      QSignalSpy done(&tuner, &YoloTunerThread::finished_signal);
      QString console;
      connect(&tuner, &YoloTunerThread::log_signal, &tuner, [&](const QString& t) { console += t; });
      tuner.start();
      QTRY_VERIFY_WITH_TIMEOUT(tuner.isFinished(), kRunTimeout);
      QCoreApplication::sendPostedEvents();  // the console lines queued before the end
      QTRY_COMPARE(done.count(), 1);
      QCOMPARE(done[0][0].toMap().value("lr0").toDouble(), lr0);  // min(epochs, 10) epochs per iteration
      QVERIFY(console.contains(
          QStringLiteral("tune iteration 5/5 with %1 epochs, optimizer SGD\n").arg(std::min(epochs, 10))));
    }
    QTemporaryDir empty;
    YoloTunerThread failing(QVariantMap{{"model_path", "noresult.yaml"},
                                        {"data_yaml", QDir(dir_->path()).filePath("data.yaml")},
                                        {"project", empty.path()},
                                        {"name", "x_tune"},
                                        {"epochs", 3},
                                        {"optimizer", "auto"}});
    QSignalSpy errors(&failing, &YoloTunerThread::error_signal);
    failing.start();
    QTRY_VERIFY_WITH_TIMEOUT(failing.isFinished(), kRunTimeout);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors[0][0].toString(), QString("AutoML tuning failed to generate hyperparameter manifest."));
  }

  void config_tab_defaults_and_params() {
    ConfigTab tab;
    QCOMPARE(test::find<QComboBox>(tab, "model_combo")->currentText(), QString("yolov8s.pt"));
    QCOMPARE(test::find<QComboBox>(tab, "model_combo")->count(), 10);
    QCOMPARE(test::find<QLineEdit>(tab, "data_yaml_input")->text(), QString("data.yaml"));
    QCOMPARE(test::find<QSpinBox>(tab, "epochs_input")->minimum(), 1);
    QCOMPARE(test::find<QSpinBox>(tab, "batch_input")->minimum(), -1);
    QCOMPARE(test::find<QSpinBox>(tab, "imgsz_input")->singleStep(), 32);
    QCOMPARE(test::find<QComboBox>(tab, "optimizer_combo")->currentText(), QString("auto"));
    QCOMPARE(test::find<QDoubleSpinBox>(tab, "lr0_input")->decimals(), 5);
    QCOMPARE(test::find<QDoubleSpinBox>(tab, "lrf_input")->maximum(), 99.99);
    QCOMPARE(test::find<QSpinBox>(tab, "close_mosaic_input")->value(), 10);
    test::find<QLineEdit>(tab, "data_yaml_input")->setText("keep.yaml");
    tab.browse_data_yaml();  // cancelled
    QCOMPARE(test::find<QLineEdit>(tab, "data_yaml_input")->text(), QString("keep.yaml"));
    QCOMPARE(prompts_->asked_titles, QStringList({"Select Data YAML"}));
    prompts_->open_files.push_back("/data/ds/data.yaml");
    tab.browse_data_yaml();
    QCOMPARE(test::find<QLineEdit>(tab, "data_yaml_input")->text(), QString("/data/ds/data.yaml"));

    test::find<QComboBox>(tab, "model_combo")->setCurrentText("  custom/best.pt ");
    test::find<QLineEdit>(tab, "run_name_input")->setText("exp");
    const QVariantMap p = tab.training_params("/d.yaml", "cpu");
    QCOMPARE(p.size(), 13);
    QCOMPARE(p["model_path"].toString(), QString("custom/best.pt"));
    QCOMPARE(p["project"].toString(), QDir::current().absoluteFilePath("runs/detect"));
    QCOMPARE(tab.tuning_params("/d.yaml")["name"].toString(), QString("exp_tune"));
    QCOMPARE(tab.tuning_params("/d.yaml").size(), 6);
  }

  void window_runs_training_end_to_end() {
    QuorlanStudio window;
    ConfigTab* config = window.tab_config;
    TrainingTab* training = window.tab_progress;
    training->stop_training();  // nothing to stop
    QCOMPARE(test::find<QLabel>(*training, "lbl_train_status")->text(), QString("Status: Idle Workstation"));

    test::find<QLineEdit>(*config, "data_yaml_input")->setText("  /no/such/data.yaml ");
    window.start_training();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Error"));
    QCOMPARE(prompts_->messages.last().text, QString("YAML file path does not exist:\n/no/such/data.yaml"));
    window.start_automl_tuning();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().text, QString("Data YAML file path does not exist."));
    QVERIFY(!training->trainer_thread);

    test::find<QLineEdit>(*config, "data_yaml_input")->setText(" " + dir_->filePath("data.yaml") + " ");
    test::find<QLineEdit>(*config, "project_dir_input")->setText(QDir(dir_->path()).filePath("runs"));
    test::find<QComboBox>(*config, "model_combo")->setCurrentText("slow.yaml");
    test::find<QSpinBox>(*config, "epochs_input")->setValue(3);
    test::find<QTextEdit>(*training, "console_log")->setPlainText("old text");
    window.start_training();
    QVERIFY(test::settle_window_work());
    QCOMPARE(window.tabs->currentIndex(), 5);
    QVERIFY(test::find<QPushButton>(*training, "dangerBtn")->isEnabled());
    QVERIFY(!test::find<QTextEdit>(*training, "console_log")->toPlainText().contains("old text"));
    QCOMPARE(training->trainer_thread->params["data_yaml"].toString(), dir_->filePath("data.yaml"));

    const int shown = prompts_->messages.size();
    window.start_training();  // refused while the first run is active
    QVERIFY(test::settle_window_work());
    window.start_automl_tuning();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.size(), shown + 2);
    QCOMPARE(prompts_->messages.last().title, QString("Run Active"));

    QTRY_COMPARE_WITH_TIMEOUT(test::find<QLabel>(*training, "lbl_train_status")->text(),
                              QString("Status: Training Complete"), kRunTimeout);
    QCOMPARE(test::find<QProgressBar>(*training, "bar_train_progress")->value(), 100);
    QVERIFY(!test::find<QPushButton>(*training, "dangerBtn")->isEnabled());
    QVERIFY(test::find<QTextEdit>(*training, "console_log")->toPlainText().contains("epoch 3 done"));
    for (ZoomableView* view :
         {test::find<ZoomableView>(*training, "view_loss_plot"), test::find<ZoomableView>(*training, "view_f1_plot"),
          test::find<ZoomableView>(*training, "view_pr_plot"),
          test::find<ZoomableView>(*training, "view_confusion_plot"),
          test::find<ZoomableView>(*training, "view_val_batch")})
      QVERIFY(view->scene() && view->scene()->items().size() == 1);

    // A stop while running ends as stopped.
    test::find<QSpinBox>(*config, "epochs_input")->setValue(200);
    window.start_training();
    QVERIFY(test::settle_window_work());
    QTRY_VERIFY_WITH_TIMEOUT(test::find<QProgressBar>(*training, "bar_train_progress")->value() > 0, kRunTimeout);
    training->stop_training();
    QCOMPARE(test::find<QLabel>(*training, "lbl_train_status")->text(), QString("Status: Halting Training..."));
    QVERIFY(!test::find<QPushButton>(*training, "dangerBtn")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(test::find<QLabel>(*training, "lbl_train_status")->text(),
                              QString("Status: Training Stopped"), kRunTimeout);

    // Errors reach the "Training Error" box.
    test::find<QComboBox>(*config, "model_combo")->setCurrentText("crash.yaml");
    window.start_training();
    QVERIFY(test::settle_window_work());
    QTRY_VERIFY_WITH_TIMEOUT(prompts_->messages.last().title == "Training Error", kRunTimeout);
  }

  // A dataset holding a JPEG the engine would re-encode in place (a phone's trailer after the
  // picture): a run starts only after the user says so, and the file is named.
  void a_run_that_would_rewrite_pictures_asks_first() {
    QuorlanStudio window;
    QDir(dir_->path()).mkpath("images/train");
    test::write_text(dir_->filePath("data.yaml"), "path: .\ntrain: images/train\nval: images/train\nnames: [a]\n");
    test::write_image(dir_->filePath("images/train/clean.jpg"), 40, 30);
    test::write_image(dir_->filePath("images/train/phone.jpg"), 40, 30);
    QFile phone(dir_->filePath("images/train/phone.jpg"));
    QVERIFY(phone.open(QIODevice::Append));
    phone.write("MotionPhoto_Data");
    phone.close();
    test::find<QLineEdit>(*window.tab_config, "data_yaml_input")->setText(dir_->filePath("data.yaml"));
    test::find<QLineEdit>(*window.tab_config, "project_dir_input")->setText(QDir(dir_->path()).filePath("runs"));
    test::find<QComboBox>(*window.tab_config, "model_combo")->setCurrentText("slow.yaml");
    test::find<QSpinBox>(*window.tab_config, "epochs_input")->setValue(1);

    prompts_->choices = {1, 1};  // Cancel, twice
    window.start_training();
    QVERIFY(test::settle_window_work());
    window.start_automl_tuning();
    QVERIFY(test::settle_window_work());
    QVERIFY(!window.tab_progress->trainer_thread && !window.tab_progress->tuner_thread);
    QCOMPARE(prompts_->messages.size(), 2);
    QCOMPARE(prompts_->messages.last().title, QString("Training Would Rewrite Pictures"));
    QVERIFY(
        prompts_->messages.last().text.contains(QDir::toNativeSeparators(dir_->filePath("images/train/phone.jpg"))));
    QVERIFY(!prompts_->messages.last().text.contains("clean.jpg"));

    prompts_->choices = {0};  // Train Anyway
    window.start_training();
    QVERIFY(test::settle_window_work());
    QVERIFY(window.tab_progress->trainer_thread);
    QTRY_COMPARE_WITH_TIMEOUT(test::find<QLabel>(*window.tab_progress, "lbl_train_status")->text(),
                              QString("Status: Training Complete"), kRunTimeout);
  }

  void window_applies_tuning_results() {
    QuorlanStudio window;
    test::find<QLineEdit>(*window.tab_config, "data_yaml_input")->setText(dir_->filePath("data.yaml"));
    test::find<QLineEdit>(*window.tab_config, "project_dir_input")->setText(QDir(dir_->path()).filePath("runs"));
    test::find<QComboBox>(*window.tab_config, "model_combo")->setCurrentText("yolov8n.pt");
    test::find<QSpinBox>(*window.tab_config, "epochs_input")->setValue(4);
    window.start_automl_tuning();
    QVERIFY(test::settle_window_work());
    QCOMPARE(window.tabs->currentIndex(), 5);
    QTRY_VERIFY_WITH_TIMEOUT(!prompts_->messages.isEmpty(), kRunTimeout);
    QCOMPARE(prompts_->messages.last().title, QString("AutoML Complete"));
    QCOMPARE(prompts_->messages.last().text, QString("Optimal hyperparameters applied to controls."));
    QCOMPARE(test::find<QDoubleSpinBox>(*window.tab_config, "lr0_input")->value(), 0.004);
    QCOMPARE(test::find<QDoubleSpinBox>(*window.tab_config, "lrf_input")->value(), 0.2);
    QCOMPARE(window.tabs->currentIndex(), 4);
    // The search and its five trial runs, all inside the tuning folder the run names.
    const QDir tuning(QDir(dir_->path()).filePath("runs/tavrin_yolo_run_tune"));
    QVERIFY(QFileInfo::exists(tuning.filePath("tune/best_hyperparameters.yaml")));
    QCOMPARE(tuning.entryList({"train*"}, QDir::Dirs).size(), 5);
    QCOMPARE(QDir(dir_->filePath("runs")).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList{"tavrin_yolo_run_tune"});

    window.apply_automl_results({{"momentum", 0.5}});  // neither key: controls unchanged
    QCOMPARE(test::find<QDoubleSpinBox>(*window.tab_config, "lr0_input")->value(), 0.004);
    QCOMPARE(prompts_->messages.last().title, QString("AutoML Complete"));
  }

  void closing_the_window_ends_a_run() {
    auto window = std::make_unique<QuorlanStudio>();
    test::find<QLineEdit>(*window->tab_config, "data_yaml_input")->setText(dir_->filePath("data.yaml"));
    test::find<QLineEdit>(*window->tab_config, "project_dir_input")->setText(QDir(dir_->path()).filePath("runs"));
    test::find<QComboBox>(*window->tab_config, "model_combo")->setCurrentText("slow.yaml");
    test::find<QSpinBox>(*window->tab_config, "epochs_input")->setValue(500);
    window->start_training();
    QVERIFY(test::settle_window_work());
    QTRY_VERIFY_WITH_TIMEOUT(test::find<QProgressBar>(*window->tab_progress, "bar_train_progress")->value() > 0,
                             kRunTimeout);
    QElapsedTimer timer;
    timer.start();
    window->close();
    QVERIFY(!window->tab_progress->is_busy());
    QVERIFY(timer.elapsed() < 20000);
  }
};

QTEST_MAIN(TestTraining)
#include "test_training.moc"

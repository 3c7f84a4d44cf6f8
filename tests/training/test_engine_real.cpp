// The real engine, offline: a model built from its config file trains for one epoch on a tiny
// dataset written by the studio's own export, through the studio's trainer thread.
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "dataset/split_export.h"
#include "support/fixtures.h"
#include "engine_client/engine_host.h"
#include "training/trainer_thread.h"

using namespace quorlan;

class TestEngineReal : public QObject {
  Q_OBJECT
  QTemporaryDir dir_;

  // Eight pictures of a red square on grey with its polygon label, exported 75/25/0 as boxes.
  QString export_tiny_dataset() {
    const QString src = dir_.filePath("annotated");
    QDir().mkpath(src);
    QStringList images;
    cv::RNG rng(5);
    for (int i = 0; i < 8; ++i) {
      cv::Mat img(96, 96, CV_8UC3, cv::Scalar(60, 60, 60));
      const int x = rng.uniform(5, 55), y = rng.uniform(5, 55);
      cv::rectangle(img, cv::Rect(x, y, 32, 32), cv::Scalar(30, 30, 220), cv::FILLED);
      const QString path = QDir(src).filePath(QStringLiteral("square_%1.jpg").arg(i));
      cv::imwrite(path.toStdString(), img);
      const double l = x / 96.0, t = y / 96.0, r = (x + 32) / 96.0, b = (y + 32) / 96.0;
      test::write_text(QDir(src).filePath(QStringLiteral("square_%1.txt").arg(i)),
                       QStringLiteral("0 %1 %2 %3 %2 %3 %4 %1 %4\n").arg(l).arg(t).arg(r).arg(b));
      images << path;
    }
    QVector<ImageLabelPair> pairs = collect_annotated_pairs(images);
    const ExportResult result =
        export_dataset(pairs, plan_split(pairs.size(), 0.75, 0.25), dir_.filePath("dataset"), LabelFormat::Detection, {"square"});
    return result.error.isEmpty() ? dir_.filePath("dataset/data.yaml") : QString();
  }

 private slots:
  void trains_validates_and_writes_plots() {
    if (!HAS_YOLO()) QSKIP("the engine environment is not set up here (scripts/setup-engine)");
    const QString data = export_tiny_dataset();
    QVERIFY(!data.isEmpty());
    YoloTrainerThread thread(QVariantMap{{"model_path", "yolov8n.yaml"}, {"data_yaml", data},
                                         {"project", dir_.filePath("runs")}, {"name", "smoke"},
                                         {"epochs", 1}, {"imgsz", 64}, {"batch", 4}, {"workers", 0},
                                         {"optimizer", "auto"}, {"lr0", 0.01}, {"lrf", 0.01},
                                         {"close_mosaic", 10}, {"device", "cpu"}});
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
    QSignalSpy errors(&thread, &YoloTrainerThread::error_signal);
    QString console;
    connect(&thread, &YoloTrainerThread::log_signal, this, [&](const QString& t) { console += t; });
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), 600000);
    QTRY_COMPARE(finished.count() + errors.count(), 1);
    QVERIFY2(errors.isEmpty(), qPrintable(errors.isEmpty() ? QString() : errors[0][0].toString() + "\n" + console.right(3000)));
    QCOMPARE(progress.count(), 2);  // the one epoch, reported once, then the validation
    QCOMPARE(progress[0][1].toString(), QString("Epoch 1/1 (100%) | ETA: 00:00:00"));
    const QString run = finished[0][0].toMap().value("save_dir").toString();
    QCOMPARE(run, dir_.filePath("runs/smoke"));
    QVERIFY(QFileInfo(run + "/weights/best.pt").size() > 1000);
    for (const char* plot : {"results.png", "confusion_matrix.png", "BoxF1_curve.png", "BoxPR_curve.png", "val_batch0_pred.jpg"})
      QVERIFY2(QFileInfo::exists(run + "/" + plot), plot);
    QVERIFY(console.contains("Starting training for 1 epochs"));
    QVERIFY(!console.contains(QChar(27)));
  }
};

QTEST_MAIN(TestEngineReal)
#include "test_engine_real.moc"

// The real engine, offline: a model built from its config file trains for one epoch on a tiny
// dataset written by the studio's own export, through the studio's trainer thread.
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QLabel>
#include <QLineEdit>

#include "annotate/annotator_tab.h"
#include "core/image_reader.h"
#include "core/label_geometry.h"
#include "dataset/split_export.h"
#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "imaging/augment.h"
#include "imaging/resize_pipeline.h"
#include "imaging/tile_split.h"
#include "inference/export_thread.h"
#include "inference/inference_tab.h"
#include "native_inference/native_model.h"
#include "predict/predicting_model.h"
#include "review/review_run.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/prediction_match.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "training/trainer_thread.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

class TestEngineReal : public QObject {
  Q_OBJECT
  QTemporaryDir dir_;
  QString weights_;

  // Eight pictures of a red square on grey with its polygon label, each also cut into 2 x 2
  // tiles, turned into two variants and resized and turned, all with their labels carried; all
  // exported 75/25/0 as boxes.
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
    const QStringList originals = images;
    const QString variants = dir_.filePath("variants");
    QDir().mkpath(variants);
    LabelCarry carry;
    carry.enabled = true;
    AugmentRanges ranges;
    ranges.w_max = 8;
    for (const QString& original : originals) {
      const SplitOutcome tiles = split_one_image(original, dir_.filePath("tiles"), 2, 2, 4, false, carry);
      if (tiles.tiles != 4 || tiles.labelled_tiles == 0) return {};
      VariantLabels labels;
      labels.shapes = read_source_labels(original, QSize(96, 96))->shapes;
      const cv::Mat base = cv::imread(original.toStdString());
      for (int v = 0; v < 2; ++v) {
        const QString variant =
            QDir(variants).filePath(QFileInfo(original).baseName() + QStringLiteral("_var_%1.jpg").arg(v));
        if (!write_labelled_variant(base, ranges, variant, &labels)) return {};
        images << variant;
      }
    }
    for (const QString& tile : QDir(dir_.filePath("tiles")).entryList({"*.jpg"}, QDir::Files))
      images << dir_.filePath("tiles/" + tile);
    // And resized copies turned a quarter, their labels turned with them.
    ResizeSettings resize;
    resize.width_text = "80";
    resize.rotation = 90;
    resize.write_labels = true;
    QDir().mkpath(dir_.filePath("resized"));
    if (run_resize_batch(originals, dir_.filePath("resized"), resize).labelled != originals.size()) return {};
    for (const QString& copy : QDir(dir_.filePath("resized")).entryList({"*.jpg"}, QDir::Files))
      images << dir_.filePath("resized/" + copy);
    QVector<ImageLabelPair> pairs = collect_annotated_pairs(images);
    const Expected<ExportResult> result = export_dataset(pairs, plan_split(pairs.size(), 0.75, 0.25),
                                                         dir_.filePath("dataset"), LabelFormat::Detection, {"square"});
    return result.ok() ? dir_.filePath("dataset/data.yaml") : QString();
  }

 private slots:
  void trains_validates_and_writes_plots() {
    if (!HAS_YOLO()) QSKIP("the engine environment is not set up here (scripts/setup-engine)");
    const QString data = export_tiny_dataset();
    QVERIFY(!data.isEmpty());
    YoloTrainerThread thread(test::small_run_params("yolov8n.yaml", data, dir_.filePath("runs"), "smoke", 1));
    QSignalSpy progress(&thread, &YoloTrainerThread::progress_signal);
    QSignalSpy finished(&thread, &YoloTrainerThread::finished_signal);
    QSignalSpy errors(&thread, &YoloTrainerThread::error_signal);
    QString console;
    connect(&thread, &YoloTrainerThread::log_signal, &thread, [&](const QString& t) { console += t; });
    // Started from a folder nobody may write to (a read-only install folder, or "/"): the run
    // writes everything into its run folder and nothing here.
    const QString working = dir_.filePath("working");
    QDir().mkpath(working);
    test::write_text(working + "/keep.txt", "untouched\n");
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(working));
    const bool locked = test::make_unwritable(working);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), 600000);
    if (locked) test::make_writable(working);
    QDir::setCurrent(previous);
    QCOMPARE(QDir(working).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({"keep.txt"}));
    QCoreApplication::sendPostedEvents();  // the console lines queued before the end
    QTRY_COMPARE(finished.count() + errors.count(), 1);
    QVERIFY2(errors.isEmpty(),
             qPrintable(errors.isEmpty() ? QString() : errors[0][0].toString() + "\n" + console.right(3000)));
    QCOMPARE(progress.count(), 2);  // the one epoch, reported once, then the validation
    QCOMPARE(progress[0][1].toString(), QString("Epoch 1/1 (100%) | ETA: 00:00:00"));
    QCOMPARE(progress[0][2].toString(), dir_.filePath("runs/smoke/live_loss_plot.png"));  // drawn from results.csv
    const QString run = finished[0][0].toMap().value("save_dir").toString();
    QCOMPARE(run, dir_.filePath("runs/smoke"));
    QVERIFY(QFileInfo(run + "/weights/best.pt").size() > 1000);
    for (const char* plot : {"results.png", "confusion_matrix.png", "BoxF1_curve.png", "BoxPR_curve.png",
                             "val_batch0_pred.jpg", "live_loss_plot.png", "val/confusion_matrix.png"})
      QVERIFY2(QFileInfo::exists(run + "/" + plot), plot);
    QVERIFY(console.contains("Starting training for 1 epochs"));
    // The carried labels of tiles and variants are all ones the engine takes.
    for (const char* complaint : {"corrupt image/label", "duplicate labels", "non-normalized", "out of bounds"})
      QVERIFY2(!console.contains(complaint, Qt::CaseInsensitive),
               qPrintable(complaint + QString("\n") + console.right(3000)));
    QVERIFY(!console.contains(QChar(27)));
    weights_ = run + "/weights/best.pt";
  }

  // The trained model through the inference browser and the auto-labeller (types and counts,
  // not detections: one epoch learns little).
  void predicts_through_the_browser_and_the_autolabeller() {
    if (weights_.isEmpty()) QSKIP("needs the trained model of the previous case");
    ScriptedPrompts* prompts = ScriptedPrompts::install();
    InferenceTab browser;
    test::find<QLineEdit>(browser, "entry_inf_weights")->setText(weights_);
    test::find<QLineEdit>(browser, "entry_inf_folder")->setText(dir_.filePath("annotated"));
    test::find<QDoubleSpinBox>(browser, "spin_inf_conf")->setValue(0.01);
    QVERIFY(test::settle_window_work());
    browser.init_inference();
    QVERIFY(test::settle_window_work());
    QVERIFY2(prompts->messages.isEmpty(), qPrintable(prompts->messages.isEmpty() ? "" : prompts->messages[0].text));
    QCOMPARE(test::find<QLabel>(browser, "lbl_inf_counter")->text(), QString("1 / 8 - square_0.jpg"));
    browser.inf_next_image();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(browser, "lbl_inf_counter")->text(), QString("2 / 8 - square_1.jpg"));
    QVERIFY(test::find<ZoomableView>(browser, "inf_view")->scene() &&
            !test::find<ZoomableView>(browser, "inf_view")->scene()->items().isEmpty());
    QCOMPARE(test::find<ZoomableView>(browser, "inf_view")->scene()->sceneRect().size(), QSizeF(96, 96));

    AnnotatorTab annotator;
    annotator.open_folder(dir_.filePath("annotated"));
    QVERIFY(test::settle_window_work());
    prompts->open_files.push_back(weights_);
    annotator.load_ai_model();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts->messages.last().title, QString("AI Model Loaded"));
    test::find<QDoubleSpinBox>(annotator, "spin_ai_conf")->setValue(0.01);
    const int before = annotator.shapes_on_screen().size();
    annotator.run_ai_autolabel();
    QVERIFY(test::settle_window_work());
    const QString title = prompts->messages.last().title;
    QVERIFY2(title == "AI Success" || title == "AI Assist", qPrintable(prompts->messages.last().text));
    if (title == "AI Success") {
      const int added = annotator.shapes_on_screen().size() - before;
      QCOMPARE(prompts->messages.last().text, QStringLiteral("Successfully auto-labeled %1 object(s).").arg(added));
      for (int i = before; i < annotator.shapes_on_screen().size(); ++i)
        QCOMPARE(annotator.shapes_on_screen()[i].shown.type, QString("AI Rectangle"));
    }
    PredictionHost::instance().shutdown();
  }

  void exports_onnx_and_torchscript() {
    if (weights_.isEmpty()) QSKIP("needs the trained model of the first case");
    for (const auto& [format, name] : {std::pair{"onnx", "best.onnx"}, std::pair{"torchscript", "best.torchscript"}}) {
      ExportThread thread(weights_, format, dir_.filePath("exports"));
      QSignalSpy done(&thread, &ExportThread::finished_signal);
      QSignalSpy errors(&thread, &ExportThread::error_signal);
      thread.start();
      QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), 600000);
      QTRY_COMPARE(done.count() + errors.count(), 1);
      QVERIFY2(errors.isEmpty(), qPrintable(errors.isEmpty() ? QString() : errors[0][0].toString()));
      QCOMPARE(done[0][0].toString(), dir_.filePath("exports/") + name);
      QVERIFY(QFileInfo(dir_.filePath("exports/") + name).size() > 1000);
    }
  }

  // The one-epoch model reviews the dataset it was trained on, through the engine, without error;
  // and says it learned these pictures (no quality asked of one epoch).
  void reviews_the_dataset_with_the_trained_model() {
    if (weights_.isEmpty()) QSKIP("needs the trained model of the first case");
    const Expected<ReviewSource> source = review_source(dir_.filePath("dataset/data.yaml"));
    QVERIFY2(source.ok(), qPrintable(source.error()));
    const Expected<std::shared_ptr<PredictingModel>> model = load_predicting_model("review", weights_);
    QVERIFY2(model.ok(), qPrintable(model.error()));
    const ReviewResult result = review_dataset(**model, *source, 0.01);
    QVERIFY2(result.failures.isEmpty(), qPrintable(result.failures.join('\n')));
    QCOMPARE(result.pictures, static_cast<int>(source->pictures.size()));
    QVERIFY(result.labels > 0);
    for (const ReviewFinding& f : result.findings) QVERIFY(f.score >= 0 && f.score <= 1);
    QVERIFY(trained_on_these_pictures(weights_, source->folders).contains("trained on these pictures"));
    // The same weights copied away from their run still say what they learned.
    const QString copy = dir_.filePath("copied-model.pt");
    QVERIFY(QFile::copy(weights_, copy));
    QVERIFY(trained_on_these_pictures(copy, source->folders).contains("trained on these pictures"));
    PredictionHost::instance().shutdown();
  }

  // An exported model run natively answers as the engine answers on the same file: the model
  // trained and exported above (boxes), and the small segmentation model kept with the tests
  // (masks). A one-epoch model is unsure of everything, so each picture is compared at a
  // threshold under its own best confidence.
  void the_native_runtime_answers_as_the_engine() {
    if (!HAS_YOLO()) QSKIP("the engine environment is not set up here (scripts/setup-engine)");
    const QString data = QStringLiteral(QUORLAN_NATIVE_DATA);
    QStringList models{data + "/tiny-seg.onnx"};
    if (QFileInfo::exists(dir_.filePath("exports/best.onnx"))) models.prepend(dir_.filePath("exports/best.onnx"));
    QStringList pictures;
    for (const QString& name : QDir(data + "/pictures").entryList(QDir::Files)) pictures << data + "/pictures/" + name;
    for (const QString& name : QDir(dir_.filePath("annotated")).entryList({"*.jpg"}, QDir::Files))
      pictures << dir_.filePath("annotated/" + name);
    int compared = 0;
    for (const QString& model : models) {
      Expected<std::unique_ptr<NativeModel>> native = NativeModel::open(model);
      QVERIFY2(native.ok(), qPrintable(native.error()));
      const Expected<EngineModel> engine = PredictionHost::instance().load("reference", model);
      QVERIFY2(engine.ok(), qPrintable(engine.error()));
      for (const QString& picture : pictures) {
        const Expected<cv::Mat> image = read_image_bgr(picture);
        QVERIFY(image.ok());
        const Expected<Prediction> everything = (*native)->predict(*image, 1e-4);
        QVERIFY2(everything.ok(), qPrintable(everything.error()));
        double top = 0;
        for (const Detection& d : everything->boxes) top = std::max(top, d.conf);
        const double threshold = std::max(1e-4, std::min(0.25, top / 2));
        const Expected<Prediction> by_engine =
            PredictionHost::instance().predict(*engine, picture, threshold, 0, false);
        QVERIFY2(by_engine.ok(), qPrintable(by_engine.error()));
        const Expected<Prediction> natively = (*native)->predict(*image, threshold);
        QVERIFY(natively.ok());
        const QString difference = test::prediction_difference(*by_engine, *natively, image->size(), threshold);
        QVERIFY2(difference.isEmpty(), qPrintable(QFileInfo(model).fileName() + " on " + picture + ": " + difference));
        compared += static_cast<int>(by_engine->boxes.size());
      }
    }
    QVERIFY(compared > 0);
    PredictionHost::instance().shutdown();
  }
};

QTEST_MAIN(TestEngineReal)
#include "test_engine_real.moc"

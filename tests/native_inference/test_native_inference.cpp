// The native runtime against the engine's own answers: small models the engine trained and
// exported (tests/data/native, made by make-test-models there) and what the engine predicted
// with those very files. No engine is needed here.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <openvino/openvino.hpp>

#include "core/image_reader.h"
#include "native_inference/model_metadata.h"
#include "native_inference/native_model.h"
#include "native_inference/yolo_decode.h"
#include "support/fixtures.h"
#include "support/prediction_match.h"

using namespace quorlan;

namespace {

const QString kData = QStringLiteral(QUORLAN_NATIVE_DATA);

QJsonObject engine_record() {
  QFile f(QDir(kData).filePath("engine-predictions.json"));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(f.readAll()).object();
}

// The engine's answer on one picture as the record holds it.
Prediction recorded(const QJsonArray& objects, bool segment) {
  Prediction p;
  if (segment) p.masks.emplace();
  for (const QJsonValue& v : objects) {
    const QJsonObject o = v.toObject();
    const QJsonArray b = o["xyxy"].toArray();
    p.boxes.append(
        {o["cls"].toInt(), b[0].toDouble(), b[1].toDouble(), b[2].toDouble(), b[3].toDouble(), o["conf"].toDouble()});
    if (segment) {
      QPolygonF outline;
      for (const QJsonValue& q : o["polygon"].toArray())
        outline << QPointF(q.toArray()[0].toDouble(), q.toArray()[1].toDouble());
      p.masks->append(outline);
    }
  }
  return p;
}

}  // namespace

class TestNativeInference : public QObject {
  Q_OBJECT

 private slots:
  void the_export_says_its_names_task_and_size();
  void predictions_match_the_engine_on_the_same_export();
  void an_ir_model_predicts_as_its_onnx_does();
  void files_that_are_not_yolo_models_are_refused_clearly();
  void odd_outputs_give_a_refusal_or_sound_boxes();
  void the_letterbox_rounds_as_the_engine_does();
  void suppression_keeps_classes_apart();
};

void TestNativeInference::the_export_says_its_names_task_and_size() {
  const Expected<ModelMetadata> seg = read_onnx_metadata(QDir(kData).filePath("tiny-seg.onnx"));
  QVERIFY2(seg.ok(), qPrintable(seg.error()));
  QCOMPARE(seg->names.value(0), QStringLiteral("square"));
  QCOMPARE(seg->names.value(1), QStringLiteral("disc"));
  QCOMPARE(seg->task, QStringLiteral("segment"));
  QCOMPARE(seg->imgsz_h, 160);
  QCOMPARE(seg->imgsz_w, 160);
  QCOMPARE(seg->stride, 32);
  QVERIFY(!seg->end2end);
  QCOMPARE(seg->trained_on, QStringLiteral("/tmp/tmpw9hgwolg/dataset/data.yaml"));  // from its description
  // An IR's metadata.yaml: a key that is missing is one not given.
  QTemporaryDir dir;
  test::write_text(dir.filePath("metadata.yaml"), "task: detect\nnames:\n  0: a\n");
  const Expected<ModelMetadata> ir = read_ir_metadata(dir.filePath("metadata.yaml"));
  QVERIFY2(ir.ok(), qPrintable(ir.error()));
  QCOMPARE(ir->names.value(0), QStringLiteral("a"));
  QCOMPARE(ir->imgsz_h, 0);

  // Python's dict text: either quote, escapes, and anything else gives no names at all.
  const QHash<int, QString> names = parse_python_names(R"({0: 'a b', 1: "driver's seat", 2: 'back\\slash', 10: 'x'})");
  QCOMPARE(names.size(), 4);
  QCOMPARE(names.value(1), QStringLiteral("driver's seat"));
  QCOMPARE(names.value(2), QStringLiteral("back\\slash"));
  QCOMPARE(names.value(10), QStringLiteral("x"));
  QVERIFY(parse_python_names("['a', 'b']").isEmpty());
  QVERIFY(parse_python_names("{0: 'a', 1: 'b'").isEmpty());
  QVERIFY(parse_python_names("{0: a}").isEmpty());
}

void TestNativeInference::predictions_match_the_engine_on_the_same_export() {
  const QJsonObject record = engine_record();
  QVERIFY(!record.isEmpty());
  const double conf = record["conf"].toDouble();
  const QJsonObject models = record["models"].toObject();
  QCOMPARE(models.size(), 2);
  int matched = 0, masks = 0;
  for (auto m = models.begin(); m != models.end(); ++m) {
    Expected<std::unique_ptr<NativeModel>> model = NativeModel::open(QDir(kData).filePath(m.key()));
    QVERIFY2(model.ok(), qPrintable(model.error()));
    const bool segment = m.key().contains("seg");
    const QJsonObject pictures = m.value().toObject();
    for (auto p = pictures.begin(); p != pictures.end(); ++p) {
      const Expected<cv::Mat> image = read_image_bgr(QDir(kData).filePath("pictures/" + p.key()));
      QVERIFY2(image.ok(), qPrintable(image.error()));
      const Expected<Prediction> native = (*model)->predict(*image, conf);
      QVERIFY2(native.ok(), qPrintable(native.error()));
      QCOMPARE(native->masks.has_value(), segment);
      const Prediction engine = recorded(p.value().toArray(), segment);
      // Every box counts here: the record's threshold is the one predicted with.
      const QString difference = test::prediction_difference(engine, *native, image->size(), conf, 0);
      QVERIFY2(difference.isEmpty(), qPrintable(m.key() + " " + p.key() + ": " + difference));
      matched += engine.boxes.size();
      if (segment) masks += engine.masks->size();
      for (const Detection& d : native->boxes) QVERIFY(!native->names.value(d.cls).isEmpty());
    }
  }
  QVERIFY2(matched >= 8, "the record holds too few objects to compare");
  QVERIFY(masks > 0);
}

void TestNativeInference::an_ir_model_predicts_as_its_onnx_does() {
  // The engine exports IR into a folder with metadata.yaml; made here from the ONNX file.
  QTemporaryDir dir;
  const QString folder = QDir(dir.path()).filePath("best_openvino_model");
  QVERIFY(QDir().mkpath(folder));
  ov::Core core;
  ov::serialize(core.read_model(QDir(kData).filePath("tiny-seg.onnx").toStdString()),
                QDir(folder).filePath("best.xml").toStdString());
  test::write_text(QDir(folder).filePath("metadata.yaml"),
                   "task: segment\nstride: 32\nimgsz:\n- 160\n- 160\nnames:\n  0: square\n  1: disc\n");
  QVERIFY(is_native_model(folder));
  Expected<std::unique_ptr<NativeModel>> ir = NativeModel::open(folder);
  QVERIFY2(ir.ok(), qPrintable(ir.error()));
  Expected<std::unique_ptr<NativeModel>> onnx = NativeModel::open(QDir(kData).filePath("tiny-seg.onnx"));
  QVERIFY(onnx.ok());
  QCOMPARE((*ir)->metadata().names, (*onnx)->metadata().names);
  const Expected<cv::Mat> image = read_image_bgr(QDir(kData).filePath("pictures/wide.jpg"));
  QVERIFY(image.ok());
  const Expected<Prediction> a = (*ir)->predict(*image, 0.01), b = (*onnx)->predict(*image, 0.01);
  QVERIFY(a.ok() && b.ok());
  QVERIFY(!b->boxes.isEmpty());
  QCOMPARE(a->boxes.size(), b->boxes.size());
  for (int i = 0; i < a->boxes.size(); ++i) {
    QCOMPARE(a->boxes[i].cls, b->boxes[i].cls);
    QVERIFY(std::abs(a->boxes[i].x1 - b->boxes[i].x1) < 1e-3 && std::abs(a->boxes[i].conf - b->boxes[i].conf) < 1e-5);
  }
}

void TestNativeInference::files_that_are_not_yolo_models_are_refused_clearly() {
  QTemporaryDir dir;
  const auto refused = [&](const QString& path, const QString& says) {
    const Expected<std::unique_ptr<NativeModel>> m = NativeModel::open(path);
    if (m.ok()) return QStringLiteral("%1 was opened").arg(path);
    return m.error().contains(says) ? QString() : QStringLiteral("%1: \"%2\"").arg(path, m.error());
  };
  const QString noise = QDir(dir.path()).filePath("noise.onnx");
  QFile f(noise);
  QVERIFY(f.open(QIODevice::WriteOnly));
  for (int i = 0; i < 4096; ++i) f.putChar(static_cast<char>((i * 2654435761u) >> 13));
  f.close();
  QCOMPARE(refused(noise, "is not an ONNX model"), QString());
  const QString text = QDir(dir.path()).filePath("notes.onnx");
  test::write_text(text, "these are not weights\n");
  QCOMPARE(refused(text, "is not an ONNX model"), QString());
  // A download cut off half way.
  const QByteArray whole = test::read_bytes(QDir(kData).filePath("tiny-detect.onnx"));
  const QString cut = QDir(dir.path()).filePath("cut.onnx");
  QFile c(cut);
  QVERIFY(c.open(QIODevice::WriteOnly));
  c.write(whole.left(whole.size() / 2));
  c.close();
  QCOMPARE(refused(cut, "cut.onnx"), QString());
  QCOMPARE(refused(QDir(kData).filePath("foreign.onnx"), "is not a YOLO detection or segmentation model"), QString());
  QCOMPARE(refused(QDir(dir.path()).filePath("missing.onnx"), "does not exist"), QString());
  QVERIFY(!is_native_model("weights/best.pt"));
  QVERIFY(is_native_model("weights/best.ONNX"));
}

// Models made by make-odd-models: outputs narrower than their metadata says are refused before
// anything is read past them; rows that are not finite or name no class are left out and counted.
void TestNativeInference::odd_outputs_give_a_refusal_or_sound_boxes() {
  const cv::Mat picture(64, 64, CV_8UC3, cv::Scalar(90, 120, 150));
  const auto run = [&](const char* name) {
    const Expected<std::unique_ptr<NativeModel>> m =
        NativeModel::open(QDir(kData).filePath(QStringLiteral("odd/") + name));
    if (!m) return Expected<Prediction>(failure(m.error()));
    return (*m)->predict(picture, 0.25);
  };
  const Expected<Prediction> narrow = run("e2e-narrow.onnx");
  QVERIFY(!narrow.ok());
  QVERIFY2(narrow.error().contains("2 values wide"), qPrintable(narrow.error()));
  const Expected<Prediction> few_rows = run("seg-few-rows.onnx");
  QVERIFY(!few_rows.ok());
  QVERIFY2(few_rows.error().contains("20 values per box") && few_rows.error().contains("32 mask coefficients"),
           qPrintable(few_rows.error()));
  for (const char* name : {"e2e-junk.onnx", "raw-junk.onnx"}) {
    const Expected<Prediction> p = run(name);
    QVERIFY2(p.ok(), qPrintable(p.error()));
    QCOMPARE(p->boxes.size(), 1);
    const Detection& d = p->boxes[0];
    QCOMPARE(d.cls, 0);
    QVERIFY(std::isfinite(d.x1) && std::isfinite(d.y2) && std::isfinite(d.conf));
    QCOMPARE(p->dropped, name == QLatin1String("e2e-junk.onnx") ? 5 : 2);
  }
}

void TestNativeInference::the_letterbox_rounds_as_the_engine_does() {
  // 241 x 150 into 160: resized to 160 x 100, 30 rows of grey above and below.
  Letterbox b = letterbox_geometry({241, 150}, {160, 160});
  QCOMPARE(b.unpadded, cv::Size(160, 100));
  QCOMPARE(b.top, 30);
  QCOMPARE(b.input, cv::Size(160, 160));
  // 123 x 201: 98 wide, 62 columns split 31 / 31; 125 x 200: 100 wide... and an odd split of 61
  // puts the extra column on the right, as the engine's round(d -/+ 0.1) does.
  b = letterbox_geometry({123, 201}, {160, 160});
  QCOMPARE(b.unpadded, cv::Size(98, 160));
  QCOMPARE(b.left, 31);
  b = letterbox_geometry({99, 160}, {160, 160});
  QCOMPARE(b.unpadded, cv::Size(99, 160));
  QCOMPARE(b.left, 30);
  QCOMPARE(b.input.width, 160);
  // Python rounds halves to even: 2.5 -> 2, 3.5 -> 4.
  QCOMPARE(py_round(2.5), 2);
  QCOMPARE(py_round(3.5), 4);
  // A free-size model letterboxes to whole strides only: 640 x 480 at 640 is 640 x 480.
  b = letterbox_geometry({640, 480}, {640, 640}, 32);
  QCOMPARE(b.input, cv::Size(640, 480));
  const cv::Mat grey =
      letterboxed(cv::Mat(150, 241, CV_8UC3, cv::Scalar(0, 0, 0)), letterbox_geometry({241, 150}, {160, 160}));
  QCOMPARE(grey.at<cv::Vec3b>(0, 0), cv::Vec3b(114, 114, 114));
  QCOMPARE(grey.at<cv::Vec3b>(80, 80), cv::Vec3b(0, 0, 0));
}

void TestNativeInference::suppression_keeps_classes_apart() {
  // Four anchors, two classes, channel-major as the export lays it out: two overlapping boxes of
  // class 0 (the weaker goes), one of class 1 on the same spot (stays), one below the threshold.
  const int anchors = 4;
  const float pred[6][4] = {{50, 52, 50, 200},          // cx
                            {50, 50, 50, 200},          // cy
                            {40, 40, 40, 10},           // w
                            {40, 40, 40, 10},           // h
                            {0.9f, 0.8f, 0.1f, 0.1f},   // class 0
                            {0.1f, 0.2f, 0.7f, 0.2f}};  // class 1
  NmsSettings s;
  s.conf = 0.25f;
  const std::vector<Candidate> kept = non_max_suppression(&pred[0][0], 6, anchors, 2, s);
  QCOMPARE(kept.size(), std::size_t(2));
  QCOMPARE(kept[0].anchor, 0);
  QCOMPARE(kept[0].cls, 0);
  QCOMPARE(kept[1].anchor, 2);
  QCOMPARE(kept[1].cls, 1);
  QCOMPARE(kept[0].x1, 30.f);
  s.max_det = 1;
  QCOMPARE(non_max_suppression(&pred[0][0], 6, anchors, 2, s).size(), std::size_t(1));
}

QTEST_GUILESS_MAIN(TestNativeInference)
#include "test_native_inference.moc"

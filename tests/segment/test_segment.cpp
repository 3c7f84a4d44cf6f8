// Click to segment without the engine: the tiny exported pair in tests/data/segment (made by
// make-tiny-sam there from the engine's own SAM classes) against what the engine's modules
// answered on the same pictures and prompts; the geometry of prompts and masks; and GrabCut.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgproc.hpp>
#include <random>

#include "core/image_reader.h"
#include "segment/grabcut_refine.h"
#include "segment/prompt_geometry.h"
#include "segment/sam_model.h"
#include "segment/segment_session.h"

using namespace quorlan;

namespace {

const QString kData = QStringLiteral(QUORLAN_SEGMENT_DATA);

// The largest difference between the recorded sample and ours, against the record's spread.
double relative_gap(const QJsonArray& recorded, const std::vector<float>& ours) {
  double gap = 0, spread = 1e-6;
  for (int i = 0; i < recorded.size(); ++i) {
    spread = std::max(spread, std::abs(recorded[i].toDouble()));
    gap = std::max(gap, std::abs(recorded[i].toDouble() - ours[size_t(i)]));
  }
  return gap / spread;
}

double iou(const cv::Mat1b& a, const cv::Mat1b& b) {
  const double both = cv::countNonZero(a & b), either = cv::countNonZero(a | b);
  return either > 0 ? both / either : 0;
}

cv::Mat1b filled(const QPolygonF& polygon, cv::Size size) {
  cv::Mat1b out(size, uchar(0));
  std::vector<cv::Point> points;
  for (const QPointF& p : polygon) points.emplace_back(int(std::lround(p.x())), int(std::lround(p.y())));
  if (!points.empty()) cv::fillPoly(out, std::vector<std::vector<cv::Point>>{points}, cv::Scalar(255));
  return out;
}

// A textured scene: a noisy background of one palette and one object of another, with its mask.
struct Scene {
  cv::Mat bgr;
  cv::Mat1b truth;
  cv::Rect box;
};

Scene textured_scene(std::mt19937& rng, int shape) {
  const cv::Size size(480, 360);
  Scene s;
  std::uniform_int_distribution<int> low(40, 110), high(150, 230);
  cv::Mat noise(size / 6, CV_8UC3);
  for (int y = 0; y < noise.rows; ++y)
    for (int x = 0; x < noise.cols; ++x)
      noise.at<cv::Vec3b>(y, x) = {uchar(low(rng)), uchar(high(rng)), uchar(low(rng))};
  cv::resize(noise, s.bgr, size, 0, 0, cv::INTER_LINEAR);  // a green, grassy background
  s.truth = cv::Mat1b(size, uchar(0));
  const cv::Point centre(140 + shape * 60, 150 + shape * 20);
  if (shape % 3 == 0)
    cv::ellipse(s.truth, centre, {90, 60}, shape * 20.0, 0, 360, cv::Scalar(255), -1);
  else if (shape % 3 == 1)
    cv::fillPoly(s.truth,
                 std::vector<std::vector<cv::Point>>{
                     {{centre.x - 80, centre.y + 70}, {centre.x, centre.y - 90}, {centre.x + 90, centre.y + 60}}},
                 cv::Scalar(255));
  else
    cv::rectangle(s.truth, cv::Rect(centre.x - 70, centre.y - 50, 140, 100), cv::Scalar(255), -1);
  cv::Mat stripes(size, CV_8UC3);  // a red and orange striped object
  for (int y = 0; y < size.height; ++y)
    stripes.row(y).setTo((y / 6) % 2 ? cv::Scalar(30, 60, 210) : cv::Scalar(40, 140, 240));
  stripes.copyTo(s.bgr, s.truth);
  const cv::Rect tight = cv::boundingRect(s.truth);
  // The user's rough box: a few pixels to a tenth of the size loose on each side.
  std::uniform_int_distribution<int> loose(4, 18);
  s.box = cv::Rect(cv::Point(tight.x - loose(rng), tight.y - loose(rng)),
                   cv::Point(tight.br().x + loose(rng), tight.br().y + loose(rng))) &
          cv::Rect({0, 0}, size);
  return s;
}

// The pair in `pair` answers as the engine's record at `record_path` says, picture by picture.
void compare_with_record(const QString& pair, const QString& record_path) {
  QFile f(record_path);
  QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(record_path));
  const QJsonObject record = QJsonDocument::fromJson(f.readAll()).object();
  QVERIFY(!record.isEmpty());
  Expected<std::unique_ptr<SamModel>> model = SamModel::open(pair);
  QVERIFY2(model, qPrintable(model.error()));
  const int stride = record["stride"].toInt();
  for (const QJsonValue& pv : record["pictures"].toArray()) {
    const QJsonObject pic = pv.toObject();
    Expected<cv::Mat> bgr = read_image_bgr(QDir(kData).filePath("pictures/" + pic["picture"].toString()));
    QVERIFY(bgr);
    // Upright as the engine sees it: the phone photo is stored sideways with an EXIF turn.
    QCOMPARE(bgr->cols, pic["width"].toInt());
    QCOMPARE(bgr->rows, pic["height"].toInt());
    Expected<std::shared_ptr<const SamEmbedding>> emb = (*model)->encode(*bgr);
    QVERIFY2(emb, qPrintable(emb.error()));
    const std::vector<size_t>& shape = (*emb)->shape;
    std::vector<float> sample;
    for (size_t c = 0; c < shape[1]; ++c)
      for (size_t y = 0; y < shape[2]; y += size_t(stride))
        for (size_t x = 0; x < shape[3]; x += size_t(stride))
          sample.push_back((*emb)->values[(c * shape[2] + y) * shape[3] + x]);
    QCOMPARE(sample.size(), size_t(pic["embedding"].toArray().size()));
    const double embedding_gap = relative_gap(pic["embedding"].toArray(), sample);
    qInfo("%s: embedding within %.2g of its spread", qPrintable(pic["picture"].toString()), embedding_gap);
    QVERIFY2(embedding_gap < 2e-3, qPrintable(pic["picture"].toString()));
    for (const QJsonValue& qv : pic["prompts"].toArray()) {
      const QJsonObject q = qv.toObject();
      SegmentPrompt prompt;
      for (const QJsonValue& p : q["points"].toArray())
        prompt.points.push_back({{p[0].toDouble(), p[1].toDouble()}, p[2].toInt() == 1});
      if (q["box"].isArray()) {
        const QJsonArray b = q["box"].toArray();
        prompt.box = QRectF(QPointF(b[0].toDouble(), b[1].toDouble()), QPointF(b[2].toDouble(), b[3].toDouble()));
      }
      Expected<PromptLogits> logits = (*model)->decode(**emb, prompt);
      QVERIFY2(logits, qPrintable(logits.error()));
      QCOMPARE(logits->masks.size(), size_t(4));
      std::vector<float> ours;
      for (const cv::Mat1f& m : logits->masks)
        for (int y = 0; y < m.rows; y += stride)
          for (int x = 0; x < m.cols; x += stride) ours.push_back(m(y, x));
      const QString where = pic["picture"].toString() + " " + QJsonDocument(q["points"].toArray()).toJson();
      const double logit_gap = relative_gap(q["logits"].toArray(), ours);
      qInfo("  prompt: logits within %.2g, scores within %.2g", logit_gap,
            relative_gap(q["scores"].toArray(), logits->scores));
      QVERIFY2(logit_gap < 5e-3, qPrintable(where));
      QVERIFY2(relative_gap(q["scores"].toArray(), logits->scores) < 5e-3, qPrintable(where));
    }
  }
}

}  // namespace

class TestSegment : public QObject {
  Q_OBJECT

 private slots:
  void the_native_pair_answers_as_the_engine_does();
  void a_mobile_sam_the_engine_built_answers_alike();
  void prompts_and_masks_follow_the_engines_letterbox();
  void a_single_click_takes_the_best_alternative();
  void the_latest_prompt_wins_and_embeddings_are_few();
  void folders_that_are_not_an_exported_pair_are_refused();
  void grabcut_makes_a_rough_box_tight();
};

void TestSegment::the_native_pair_answers_as_the_engine_does() {
  compare_with_record(QDir(kData).filePath("tiny-sam"), QDir(kData).filePath("engine-outputs.json"));
}

void TestSegment::a_mobile_sam_the_engine_built_answers_alike() {
  // Made by tests/segment/real-engine-check with the engine itself: a MobileSAM with random
  // weights, exported by `quorlan export-model`, and the engine's answers on it.
  const QString made = qEnvironmentVariable("QUORLAN_SEGMENT_REAL");
  if (made.isEmpty()) QSKIP("Run by tests/segment/real-engine-check, which makes the model with the engine.");
  compare_with_record(QDir(made).filePath("mobile_sam_sam_onnx"), QDir(made).filePath("record.json"));
}

void TestSegment::prompts_and_masks_follow_the_engines_letterbox() {
  // The long side goes to the input's side; the short side rounds as the engine rounds.
  const PromptGeometry odd = PromptGeometry::of({517, 333}, 1024);
  QCOMPARE(odd.resized, cv::Size(1024, 660));  // 333 * 1024 / 517 = 659.56
  const PromptGeometry portrait = PromptGeometry::of({300, 700}, 1024);
  QCOMPARE(portrait.resized, cv::Size(439, 1024));
  QCOMPARE(PromptGeometry::of({4000, 1}, 1024).resized, cv::Size(1024, 1));  // a thin strip keeps a row
  const cv::Point2f at = portrait.to_input({150, 350});
  QVERIFY(std::abs(at.x - 150 * 1024.0 / 700) < 1e-3 && std::abs(at.y - 512) < 1e-3);

  // The input carries the picture top-left and the padding elsewhere (114 before normalising).
  cv::Mat picture(700, 300, CV_8UC3, cv::Scalar(10, 20, 30));
  const cv::Mat input = model_input(picture, portrait, {0, 0, 0}, {1, 1, 1}, 114);
  auto at_input = [&](int c, int y, int x) { return input.ptr<float>(0, c)[y * 1024 + x]; };
  QCOMPARE(at_input(0, 5, 5), 30.f);     // R first
  QCOMPARE(at_input(2, 5, 5), 10.f);     // B last
  QCOMPARE(at_input(0, 5, 900), 114.f);  // right of the picture: padding

  // A disc drawn in the input's space comes back as the same disc on each picture.
  for (const cv::Size size : {cv::Size(517, 333), cv::Size(300, 700), cv::Size(4032, 3024)}) {
    const PromptGeometry g = PromptGeometry::of(size, 1024);
    cv::Mat1f logits(256, 256, -5.f);
    const cv::Point2d centre(size.width * 0.4, size.height * 0.55);
    const double radius = std::min(size.width, size.height) * 0.2;
    const cv::Point low(int(centre.x * g.gain / 4), int(centre.y * g.gain / 4));
    const int low_radius = int(radius * g.gain / 4);
    cv::circle(logits, low, low_radius, cv::Scalar(5), -1);
    const PictureMask mask = mask_on_picture(logits, g, 0);
    QVERIFY(!mask.empty());
    cv::Mat1b whole(size, uchar(0));
    mask.mask.copyTo(whole(mask.roi));
    cv::Mat1b truth(size, uchar(0));
    // The same disc in the picture's pixels: cell l covers the pixels around (l + 0.5) * 4 / gain.
    const double cell = 4 / g.gain;
    cv::circle(truth, cv::Point(int((low.x + 0.5) * cell), int((low.y + 0.5) * cell)), int((low_radius + 0.5) * cell),
               cv::Scalar(255), -1);
    QVERIFY2(iou(whole, truth) > 0.95, qPrintable(QString::number(iou(whole, truth))));
    const MaskOutline outline = outline_of(mask);
    QVERIFY(iou(filled(outline.polygon, size), truth) > 0.93);
    QVERIFY(std::abs(outline.box.center().x() - (low.x + 0.5) * cell) < cell * 2);
    // Sampled every few pixels on a large picture, the outline is the same within a sample.
    const PictureMask coarse = mask_on_picture(logits, g, 0, 1024);
    QCOMPARE(coarse.step, size.width > 1024 ? 4 : 1);
    const MaskOutline quick = outline_of(coarse);
    QVERIFY2(iou(filled(quick.polygon, size), filled(outline.polygon, size)) > 0.98,
             qPrintable(QString::number(iou(filled(quick.polygon, size), filled(outline.polygon, size)))));
    QVERIFY(std::abs(quick.box.left() - outline.box.left()) <= coarse.step);
  }
  // Nothing above the threshold: no mask, no outline.
  const PictureMask none = mask_on_picture(cv::Mat1f(256, 256, -1.f), PromptGeometry::of({640, 480}, 1024), 0);
  QVERIFY(none.empty());
  QVERIFY(outline_of(none).polygon.isEmpty());
}

void TestSegment::a_single_click_takes_the_best_alternative() {
  const std::vector<float> scores{0.5f, 0.2f, 0.9f, 0.4f};
  SegmentPrompt click;
  click.points.push_back({{10, 10}, true});
  QCOMPARE(chosen_answer(click, scores), 2);
  SegmentPrompt two = click;
  two.points.push_back({{20, 20}, false});
  QCOMPARE(chosen_answer(two, scores), 0);
  SegmentPrompt boxed = click;
  boxed.box = QRectF(0, 0, 30, 30);
  QCOMPARE(chosen_answer(boxed, scores), 0);
}

void TestSegment::the_latest_prompt_wins_and_embeddings_are_few() {
  SegmentSession session;
  Segmentation first, second;
  first.polygon = QPolygonF({{0, 0}, {10, 0}, {10, 10}});
  second.polygon = QPolygonF({{0, 0}, {20, 0}, {20, 20}});
  session.add_point({5, 5}, true);
  const int a = session.ask(true);
  session.add_point({50, 50}, false);  // the prompt changes while the first answer is on its way
  const int b = session.ask(true);
  QVERIFY(session.waiting());
  QVERIFY(!session.answer(a, first));  // stale: not shown, not proposed
  QVERIFY(session.answer(b, second));
  QVERIFY(!session.waiting());
  QCOMPARE(session.proposal()->polygon, second.polygon);
  // A preview under the cursor is shown but never becomes the proposal.
  const int hover = session.ask(false);
  QCOMPARE(session.with_hover({7, 7}).points.size(), size_t(3));
  QVERIFY(session.answer(hover, first));
  QCOMPARE(session.shown().polygon, first.polygon);
  QCOMPARE(session.proposal()->polygon, second.polygon);
  // A failed answer says why and proposes nothing; Backspace takes the clicks, then the box.
  session.set_box({1, 1, 30, 30});
  QVERIFY(session.answer(session.ask(true), failure("no pixels")));
  QVERIFY(!session.proposal());
  QCOMPARE(session.problem(), QString("no pixels"));
  QVERIFY(session.remove_last() && session.remove_last() && session.prompt().box);
  QVERIFY(session.remove_last() && session.prompt().empty());
  QVERIFY(!session.remove_last());

  EmbeddingCache cache(2);
  QVERIFY(cache.start("a"));
  QVERIFY(!cache.start("a"));  // already on its way
  cache.put("a", std::make_shared<SamEmbedding>());
  cache.put("b", std::make_shared<SamEmbedding>());
  cache.put("c", std::make_shared<SamEmbedding>());
  QVERIFY(!cache.has("a") && cache.has("b") && cache.has("c"));
  cache.put("d", nullptr);  // a failed encoding is not kept, and may be asked again
  QVERIFY(!cache.has("d") && cache.start("d"));
}

void TestSegment::folders_that_are_not_an_exported_pair_are_refused() {
  QTemporaryDir dir;
  Expected<std::unique_ptr<SamModel>> none = SamModel::open(dir.path());
  QVERIFY(!none);
  QVERIFY2(none.error().contains("encoder.onnx"), qPrintable(none.error()));
  // The two files in place but not models.
  for (const char* name : {"encoder.onnx", "decoder.onnx"}) {
    QFile f(QDir(dir.path()).filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not a model");
  }
  QFile json(QDir(dir.path()).filePath("sam.json"));
  QVERIFY(json.open(QIODevice::WriteOnly));
  json.write(R"({"image_size": 1024})");
  json.close();
  Expected<std::unique_ptr<SamModel>> junk = SamModel::open(dir.path());
  QVERIFY(!junk);
  QVERIFY2(junk.error().contains("could not be loaded"), qPrintable(junk.error()));
  // A prompt with nothing in it asks for a click.
  Expected<std::unique_ptr<SamModel>> model = SamModel::open(QDir(kData).filePath("tiny-sam"));
  QVERIFY(model);
  Expected<std::shared_ptr<const SamEmbedding>> emb = (*model)->encode(cv::Mat(64, 48, CV_8UC3, cv::Scalar::all(90)));
  QVERIFY(emb);
  QVERIFY(!(*model)->segment(**emb, {}));
}

void TestSegment::grabcut_makes_a_rough_box_tight() {
  std::mt19937 rng(11);
  double total = 0;
  const int scenes = 6;
  for (int i = 0; i < scenes; ++i) {
    const Scene s = textured_scene(rng, i);
    Expected<MaskOutline> refined = refine_box(s.bgr, QRectF(s.box.x, s.box.y, s.box.width, s.box.height));
    QVERIFY2(refined, qPrintable(refined.error()));
    const double score = iou(filled(refined->polygon, s.bgr.size()), s.truth);
    total += score;
    const cv::Rect tight = cv::boundingRect(s.truth);
    QVERIFY(refined->box.width() <= s.box.width);  // never looser than what the user drew
    QVERIFY2(std::abs(refined->box.left() - tight.x) < 8, qPrintable(QString::number(refined->box.left())));
  }
  const double mean = total / scenes;
  qInfo("GrabCut: mean IoU %.3f over %d scenes", mean, scenes);
  QVERIFY2(mean >= 0.85, qPrintable(QString("mean IoU %1").arg(mean)));
  // A box of a few pixels has nothing to refine.
  QVERIFY(!refine_box(textured_scene(rng, 0).bgr, QRectF(10, 10, 2, 2)));
}

QTEST_GUILESS_MAIN(TestSegment)
#include "test_segment.moc"

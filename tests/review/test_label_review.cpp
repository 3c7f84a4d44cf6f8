// Labels held against a model's predictions: each kind of mistake found and scored, a sound label
// set left quiet, and the same review always ranked the same way. Then a folder reviewed end to
// end with a stand-in model.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <random>

#include "predict/predicting_model.h"
#include "review/label_review.h"
#include "review/review_run.h"
#include "support/fixtures.h"
#include "support/table_model.h"

using namespace quorlan;

namespace {

Detection det(int cls, double x1, double y1, double x2, double y2, double conf) { return {cls, x1, y1, x2, y2, conf}; }

ReviewLabel label(int row, int cls, double x1, double y1, double x2, double y2) {
  return {row, row + 1, cls, QRectF(QPointF(x1, y1), QPointF(x2, y2))};
}

const ReviewFinding* finding_of(const QVector<ReviewFinding>& found, FindingKind kind) {
  for (const ReviewFinding& f : found)
    if (f.kind == kind) return &f;
  return nullptr;
}

}  // namespace

class TestLabelReview : public QObject {
  Q_OBJECT

 private slots:
  void each_kind_of_mistake_is_found() {
    Prediction p;
    p.boxes = {det(0, 10, 10, 50, 50, 0.95),     // agrees with row 0
               det(0, 100, 100, 140, 140, 0.9),  // a car where row 1 says person
               det(0, 215, 10, 255, 50, 0.9),    // row 2's car, a quarter of its width further right
               det(1, 400, 10, 440, 50, 0.85)};  // a person nobody labelled
    const QVector<ReviewLabel> labels = {label(0, 0, 10, 10, 50, 50), label(1, 1, 100, 100, 140, 140),
                                         label(2, 0, 200, 10, 240, 50), label(3, 0, 300, 300, 340, 340)};
    const QVector<ReviewFinding> found = review_picture("a.jpg", labels, p);
    const ReviewFinding* wrong = finding_of(found, FindingKind::WrongClass);
    QVERIFY(wrong);
    QCOMPARE(wrong->label_row, 1);
    QCOMPARE(wrong->predicted_cls, 0);
    QVERIFY(wrong->score > 0.8);
    const ReviewFinding* loose = finding_of(found, FindingKind::LooseBox);
    QVERIFY(loose);
    QCOMPARE(loose->label_row, 2);
    QCOMPARE(loose->predicted_box, QRectF(QPointF(215, 10), QPointF(255, 50)));
    QVERIFY(loose->score > 0.3);
    const ReviewFinding* nothing = finding_of(found, FindingKind::LabelOnNothing);
    QVERIFY(nothing);
    QCOMPARE(nothing->label_row, 3);
    QCOMPARE(nothing->score, 1.0);
    const ReviewFinding* missing = finding_of(found, FindingKind::MissingObject);
    QVERIFY(missing);
    QCOMPARE(missing->predicted_cls, 1);
    QCOMPARE(missing->label_row, -1);
    QVERIFY(std::abs(missing->score - 0.85) < 1e-9);
    // The sound label is no finding worth a look, and every score is in [0, 1].
    for (const ReviewFinding& f : found) {
      QVERIFY(f.score >= 0 && f.score <= 1);
      if (f.label_row == 0) QVERIFY(f.score < 0.1);
    }
    QCOMPARE(finding_kind_from_name("wrong class"), std::optional(FindingKind::WrongClass));
    QCOMPARE(finding_kind_from_name("loose"), std::optional(FindingKind::LooseBox));
    QVERIFY(!finding_kind_from_name("other"));
  }

  void sound_labels_give_nothing_above_a_low_score() {
    // A sure model agreeing with every label, with a few unsure extras near them.
    Prediction p;
    QVector<ReviewLabel> labels;
    for (int i = 0; i < 6; ++i) {
      const double x = 60.0 * i;
      labels << label(i, i % 2, x, 10, x + 40, 60);
      p.boxes << det(i % 2, x + 1, 10, x + 40, 61, 0.93) << det(1 - i % 2, x, 12, x + 38, 60, 0.04);
    }
    for (const ReviewFinding& f : review_picture("b.jpg", labels, p))
      QVERIFY2(f.score <= 0.1, qPrintable(finding_kind_name(f.kind) + QString(" %1").arg(f.score)));
    // Two labels of one class side by side: the prediction of the one is no loose box of the other.
    const QVector<ReviewLabel> pair = {label(0, 0, 0, 0, 40, 40), label(1, 0, 20, 0, 60, 40)};
    Prediction two;
    two.boxes = {det(0, 0, 0, 40, 40, 0.9), det(0, 20, 0, 60, 40, 0.9)};
    for (const ReviewFinding& f : review_picture("c.jpg", pair, two)) QVERIFY(f.score <= 0.1);
  }

  void ties_are_ranked_the_same_way_every_time() {
    QVector<ReviewFinding> findings;
    for (const char* picture : {"b.jpg", "a.jpg", "c.jpg"})
      for (FindingKind kind : {FindingKind::LooseBox, FindingKind::MissingObject}) {
        ReviewFinding f;
        f.picture = picture;
        f.kind = kind;
        f.score = 0.5;
        findings << f;
      }
    findings[5].score = 0.9;
    QVector<ReviewFinding> shuffled = findings;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    rank_findings(findings);
    rank_findings(shuffled);
    QCOMPARE(findings[0].score, 0.9);
    QCOMPARE(findings[1].picture, QString("a.jpg"));
    QCOMPARE(findings[1].kind, FindingKind::MissingObject);
    for (int i = 0; i < findings.size(); ++i) QCOMPARE(shuffled[i].key(), findings[i].key());
    // A key names the finding, not where it sits in a list.
    QVERIFY(findings[1].key() != findings[2].key());
  }

  void the_model_is_measured_before_its_word_is_taken() {
    // 40 pictures of one labelled object each: a weak model finds 12 of them at 0.25 and over, sees
    // the rest faintly or not at all, and is sure of one object nobody labelled (on the last picture).
    QVector<ReviewedPicture> pictures;
    for (int i = 0; i < 40; ++i) {
      ReviewedPicture p;
      p.labels = {label(0, i % 2, 10, 10, 60 + i, 60)};
      if (i < 12)
        p.prediction.boxes << det(i % 2, 10, 10, 60 + i, 60, 0.6 + i * 0.02);
      else if (i < 30)
        p.prediction.boxes << det(i % 2, 12, 12, 58 + i, 58, 0.01 + i * 0.001);
      pictures << p;
    }
    pictures.last().prediction.boxes << det(0, 200, 200, 260, 260, 0.9);
    const ModelCheck check = check_model(pictures);
    QCOMPARE(check.labels, 40);
    QCOMPARE(check.found, 12);
    QCOMPARE(check.per_class.value(0), std::make_pair(20, 6));
    QVERIFY(check.too_weak());
    QVERIFY(
        model_check_text(check).startsWith("The model finds 30% of the reviewed labels (12 of 40) at confidence 0.25"));
    QVERIFY(model_check_text(check).contains("too few to judge these labels"));
    QVERIFY(check.map50 > 0.3 && check.map50 < 0.8);

    // Calibrated on these pictures, the sure missing object comes first; a label the weak model does
    // not see is weak evidence, and those alike are ordered by what the model saw, never by name.
    const ReviewCalibration calibration = calibrate(pictures);
    QVERIFY(calibration.fitted);
    QCOMPARE(calibration.recall, 0.3);
    QVERIFY(calibration.precision_at(0.9) >= calibration.precision_at(0.3));
    const auto review_all = [&](const std::function<QString(int)>& name) {
      QVector<ReviewFinding> all;
      for (int i = 0; i < pictures.size(); ++i)
        all += review_picture(name(i), pictures[i].labels, pictures[i].prediction, {}, calibration);
      rank_findings(all);
      return all;
    };
    const QVector<ReviewFinding> ranked =
        review_all([](int i) { return QStringLiteral("p%1.png").arg(i, 2, 10, QChar('0')); });
    QCOMPARE(ranked.first().kind, FindingKind::MissingObject);
    QVERIFY(ranked.first().score > 0.5);
    for (int i = 1; i < ranked.size(); ++i) QVERIFY(ranked[i].score <= 0.3 + 1e-9);
    // The same pictures under reversed names: the same order of objects.
    const QVector<ReviewFinding> renamed =
        review_all([](int i) { return QStringLiteral("p%1.png").arg(99 - i, 2, 10, QChar('0')); });
    QCOMPARE(renamed.size(), ranked.size());
    for (int i = 0; i < ranked.size(); ++i) {
      QCOMPARE(renamed[i].label_box, ranked[i].label_box);
      QCOMPARE(renamed[i].kind, ranked[i].kind);
    }
    // Unseen labels: the larger object first (the model misses small ones more often).
    QVector<double> unseen;
    for (const ReviewFinding& f : ranked)
      if (f.kind == FindingKind::LabelOnNothing && f.evidence == 1.0) unseen << f.area;
    QVERIFY(unseen.size() >= 5);
    QVERIFY(std::is_sorted(unseen.rbegin(), unseen.rend()));
    // A handful of labels measures nothing: confidences are taken as they are.
    QVERIFY(!calibrate(pictures.mid(0, 10)).fitted);
  }

  void a_folder_is_reviewed_end_to_end() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("one.png"), 200, 100);
    test::write_image(dir.filePath("two.png"), 200, 100);
    test::write_image(dir.filePath("empty.png"), 200, 100);  // a background: no label file
    test::write_text(dir.filePath("classes.txt"), "car\nperson\n");
    test::write_text(dir.filePath("one.txt"), "0 0.25 0.5 0.2 0.4\n");  // (30,30)-(70,70)
    // A person; a stray car, on the file's third line.
    test::write_text(dir.filePath("two.txt"), "1 0.25 0.5 0.2 0.4\n\n0 0.75 0.5 0.1 0.2\n");
    // A label file the engine refuses (a box far out of the picture) is not reviewed, and said so.
    test::write_image(dir.filePath("far.png"), 200, 100);
    test::write_text(dir.filePath("far.txt"), "0 0.5 0.5 1e30 1e30\n");
    test::TableModel model;
    model.answers["one.png"].boxes = {det(0, 30, 30, 70, 70, 0.9)};
    model.answers["two.png"].boxes = {det(0, 30, 30, 70, 70, 0.9)};
    model.answers["empty.png"].boxes = {det(1, 120, 20, 180, 80, 0.8)};
    const Expected<ReviewSource> source = review_source(dir.path());
    QVERIFY(source.ok());
    QCOMPARE(source->pictures.size(), 4);
    QCOMPARE(source->classes, QStringList({"car", "person"}));
    std::atomic<int> done{0};
    const ReviewResult result = review_dataset(model, *source, 0.05, nullptr, &done);
    QCOMPARE(done.load(), 4);
    QCOMPARE(result.pictures, 3);
    QCOMPARE(result.labels, 3);
    QVERIFY(result.failures.isEmpty());
    QVERIFY2(result.notes.join('\n').contains("1 label file(s) the engine refuses") &&
                 result.notes.join('\n').contains("far.txt"),
             qPrintable(result.notes.join('\n')));
    QStringList top;
    for (const ReviewFinding& f : result.findings)
      if (f.score > 0.5)
        top << QFileInfo(f.picture).fileName() + " " + finding_kind_name(f.kind) + " " + QString::number(f.label_line);
    QCOMPARE(top, QStringList({"two.png label on nothing 3", "two.png wrong class 1", "empty.png missing object 0"}));
    QVERIFY(!review_source(dir.filePath("none")).ok());
    QVERIFY(review_source(dir.filePath("classes.txt")).error().contains("names no picture that exists"));
    // A dataset's top folder (images/ and labels/) is reviewed through its images/.
    QDir().mkpath(dir.filePath("top/images"));
    QVERIFY(QFile::copy(dir.filePath("two.png"), dir.filePath("top/images/two.png")));
    QCOMPARE(review_source(dir.filePath("top"))->pictures, QStringList({dir.filePath("top/images/two.png")}));
  }

  void a_model_trained_on_the_pictures_is_named() {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("ds/train/images"));
    QDir().mkpath(dir.filePath("ds/val/images"));
    QDir().mkpath(dir.filePath("runs/r/weights"));
    test::write_text(dir.filePath("ds/data.yaml"), "path: .\ntrain: train/images\nval: val/images\nnames: [a]\n");
    test::write_text(dir.filePath("runs/r/args.yaml"), "task: detect\ndata: " + dir.filePath("ds/data.yaml") + "\n");
    test::write_text(dir.filePath("runs/r/weights/best.pt"), "w");
    const QString weights = dir.filePath("runs/r/weights/best.pt");
    QVERIFY(trained_on_these_pictures(weights, {dir.filePath("ds/train/images")}).contains("trained on these"));
    QVERIFY(trained_on_these_pictures(weights, {dir.filePath("ds/val/images")}).isEmpty());
    // A whole dataset reviewed: the warning names the split the model learned, not the others.
    const QString both =
        trained_on_these_pictures(weights, {dir.filePath("ds/train/images"), dir.filePath("ds/val/images")});
    QVERIFY2(both.contains("that holds for " + QDir::toNativeSeparators(dir.filePath("ds/train/images")) + " only"),
             qPrintable(both));
    QVERIFY(trained_on_these_pictures(dir.filePath("elsewhere.pt"), {dir.filePath("ds/train/images")}).isEmpty());
    // The folder the dataset was exported from: its pictures were copied into the train split.
    QDir().mkpath(dir.filePath("source"));
    for (const char* name : {"p1.png", "p2.png"}) {
      test::write_image(dir.filePath(QStringLiteral("source/") + name), 30, 20);
      QFile::copy(dir.filePath(QStringLiteral("source/") + name),
                  dir.filePath(QStringLiteral("ds/train/images/") + name));
    }
    QVERIFY(trained_on_these_pictures(weights, {dir.filePath("source")}).contains("trained on these"));

    // A copy of the model elsewhere says what it was trained on itself: a checkpoint's pickled
    // training arguments (either pickle protocol; a relative name taken from the run's folders),
    // an export's description.
    QDir().mkpath(dir.filePath("copies"));
    const QByteArray pickled = QByteArray(
        "\x80\x02}q\x00(X\x04\x00\x00\x00"
        "dataq\x01X\x0c\x00\x00\x00"
        "ds/data.yamlq\x02u.",
        38);
    test::write_bytes(dir.filePath("copies/v2.pt"), QByteArray("PK\x03\x04 archive/data.pkl") + pickled);
    QVERIFY(trained_on_these_pictures(dir.filePath("copies/v2.pt"), {dir.filePath("ds/train/images")})
                .contains(QDir::toNativeSeparators(dir.filePath("copies/v2.pt")) + " names "));
    const QByteArray v4 = QByteArray(
                              "\x80\x04\x95\x10\x00}\x94(\x8c\x04"
                              "data\x94\x8c",
                              16) +
                          char(dir.filePath("ds/data.yaml").toUtf8().size()) + dir.filePath("ds/data.yaml").toUtf8() +
                          "\x94u.";
    test::write_bytes(dir.filePath("copies/v4.pt"), v4);
    QVERIFY(!trained_on_these_pictures(dir.filePath("copies/v4.pt"), {dir.filePath("ds/train/images")}).isEmpty());
    QVERIFY(trained_on_these_pictures(dir.filePath("copies/v4.pt"), {dir.filePath("ds/val/images")}).isEmpty());
    // A checkpoint that records no data, and one cut short inside its string, say nothing.
    test::write_bytes(dir.filePath("copies/none.pt"), pickled.left(pickled.size() - 12));
    QVERIFY(trained_on_these_pictures(dir.filePath("copies/none.pt"), {dir.filePath("ds/train/images")}).isEmpty());
  }
};

QTEST_GUILESS_MAIN(TestLabelReview)
#include "test_label_review.moc"

// Labels carried by the splitter, the enricher and the resizer, checked by rendering: objects
// are drawn into pictures, their labels written, each tool run, and the output labels rasterised
// against where the objects really went.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressDialog>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/atomic_file.h"
#include "core/label_files.h"
#include "core/label_geometry.h"
#include "imaging/augment.h"
#include "imaging/enricher_tab.h"
#include "imaging/resize_pipeline.h"
#include "imaging/resizer_tab.h"
#include "imaging/splitter_tab.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"

using namespace quorlan;

namespace {

cv::Mat mask_of(const QPolygonF& polygon, cv::Size size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  std::vector<cv::Point> points;
  for (const QPointF& p : polygon) points.emplace_back(cvRound(p.x()), cvRound(p.y()));
  if (points.size() >= 3) cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{points}, cv::Scalar(255));
  return mask;
}

double iou(const cv::Mat& a, const cv::Mat& b) {
  const double both = cv::countNonZero(a & b), either = cv::countNonZero(a | b);
  return either == 0 ? 1.0 : both / either;
}

// The shapes of the label file the studio reads for `image_path`, in that picture's pixels.
QVector<LabelShape> labels_of(const QString& image_path, cv::Size size) {
  const Expected<QByteArray> loaded = read_regular_file(label_path_for(image_path));
  if (!loaded) return {};
  const QByteArray& bytes = *loaded;
  return parse_label_bytes(bytes, -1, size.width, size.height).shapes;
}

const LabelShape* shape_of_class(const QVector<LabelShape>& shapes, int class_id) {
  for (const LabelShape& s : shapes)
    if (s.class_id == class_id) return &s;
  return nullptr;
}

// Grey picture with each object filled in its own pure colour.
const cv::Scalar kColours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {0, 255, 255}};

void draw_objects(const QString& path, cv::Size size, const QVector<QPolygonF>& objects) {
  cv::Mat image(size, CV_8UC3, cv::Scalar(128, 128, 128));
  for (int i = 0; i < objects.size(); ++i) image.setTo(kColours[i], mask_of(objects[i], size));
  cv::imwrite(QFile::encodeName(path).toStdString(), image);
}

// Where object `i`'s colour is in a written picture.
cv::Mat colour_mask(const cv::Mat& image, int i) {
  cv::Mat mask;
  const cv::Scalar c = kColours[i];
  cv::inRange(image, c - cv::Scalar::all(60), c + cv::Scalar::all(60), mask);
  return mask;
}

QString label_line(int class_id, const QPolygonF& polygon, cv::Size size) {
  return format_label_line(class_id, polygon, size.width, size.height) + "\n";
}

}  // namespace

class TestLabelCarry : public QObject {
  Q_OBJECT
  std::unique_ptr<QTemporaryDir> dir_;
  QString path(const QString& name) const { return dir_->filePath(name); }

 private slots:
  void init() { dir_ = std::make_unique<QTemporaryDir>(); }

  void clipping_geometry() {
    const QPolygonF square({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
    QCOMPARE(polygon_area(clip_polygon(square, QRectF(5, 5, 20, 20))), 25.0);
    QVERIFY(clip_polygon(square, QRectF(20, 20, 5, 5)).isEmpty());
    QCOMPARE(polygon_area(clip_polygon(square, QRectF(-5, -5, 30, 30))), 100.0);
    // A triangle through a corner: the clipped part is exact.
    const QPolygonF tri({{0, 0}, {20, 0}, {0, 20}});
    QCOMPARE(polygon_area(clip_polygon(tri, QRectF(0, 0, 10, 10))), 100.0);
    QCOMPARE(polygon_area(clip_polygon(tri, QRectF(5, 5, 20, 20))), 50.0);
  }

  void tiles_carry_their_objects_in_both_layouts() {
    const cv::Size size(400, 300);
    const QPolygonF across({{150, 100}, {260, 110}, {250, 200}, {140, 190}});       // over all four tiles
    const QPolygonF on_border({{200, 20}, {280, 20}, {280, 80}, {200, 80}});        // box on the x border
    const QPolygonF mostly_left({{100, 200}, {210, 200}, {210, 260}, {100, 260}});  // 10 px in the right tile
    for (const bool engine_layout : {false, true}) {
      const QString folder = engine_layout ? path("ds/train/images") : path("plain");
      QDir().mkpath(folder);
      const QString labels = engine_layout ? path("ds/train/labels") : folder;
      QDir().mkpath(labels);
      draw_objects(folder + "/a.png", size, {across, on_border, mostly_left});
      test::write_text(labels + "/a.txt",
                       label_line(0, across, size) + label_line(1, on_border, size) + label_line(2, mostly_left, size));
      // The same sign as a box line, alone in its file (the engine reads no file mixing the two).
      draw_objects(folder + "/c.png", size, {across, on_border});
      test::write_text(labels + "/c.txt", "1 0.6 0.166667 0.2 0.2\n");
      // A line the engine cannot read: it drops the picture, and nothing of its file is carried.
      draw_objects(folder + "/d.png", size, {across});
      test::write_text(labels + "/d.txt", label_line(0, across, size) + "7 0.5 oops\n");
      draw_objects(folder + "/b.png", size, {});  // a picture without labels in a labelled folder
      test::write_text(folder + "/classes.txt", "car\nsign\nbike\n");
      const QString out = path(engine_layout ? "tiles_engine" : "tiles_plain");
      LabelCarry carry;
      carry.enabled = true;
      carry.min_visible = 0.2;  // each quarter of the car holds more, the bike's sliver less
      const SplitOutcome a = split_one_image(folder + "/a.png", out, 2, 2, 4, false, carry);
      const SplitOutcome b = split_one_image(folder + "/b.png", out, 2, 2, 4, false, carry);
      QCOMPARE(a.tiles, 4);
      QCOMPARE(a.labelled_tiles, 4);
      QCOMPARE(a.objects_cut, 1);  // the 10-px sliver of the bike
      QVERIFY(a.label_problems.isEmpty());
      QCOMPARE(b.labelled_tiles, 0);
      const SplitOutcome c = split_one_image(folder + "/c.png", out, 2, 2, 4, false, carry);
      QCOMPARE(c.labelled_tiles, 1);
      const QString c_tile = QDir(out).filePath("c_part_2.png");
      const QVector<LabelShape> c_got = labels_of(c_tile, cv::imread(c_tile.toStdString()).size());
      QCOMPARE(c_got.size(), 1);
      QVERIFY(c_got[0].box);  // a box line stays a box line
      const SplitOutcome d = split_one_image(folder + "/d.png", out, 2, 2, 4, false, carry);
      QCOMPARE(d.labelled_tiles, 0);
      QCOMPARE(d.label_problems.size(), 1);
      QVERIFY2(d.label_problems[0].contains("the engine rejects this file (could not convert string to float: 'oops')"),
               qPrintable(d.label_problems[0]));
      QVERIFY(!QFileInfo::exists(QDir(out).filePath("b_part_1.txt")));

      int box_seen = 0, bike_seen = 0;
      for (int k = 0; k < 4; ++k) {
        const QString tile = QDir(out).filePath(QStringLiteral("a_part_%1.png").arg(k + 1));
        const cv::Mat pixels = cv::imread(tile.toStdString());
        const QVector<LabelShape> got = labels_of(tile, pixels.size());
        QVERIFY2(shape_of_class(got, 0), qPrintable(tile));  // the car is in every tile
        for (const LabelShape& shape : got) {
          const int object = shape.class_id;
          // Truth: where the object's colour landed in the tile.
          QVERIFY2(iou(mask_of(shape.points, pixels.size()), colour_mask(pixels, object)) >= 0.95,
                   qPrintable(QStringLiteral("tile %1 class %2").arg(k + 1).arg(object)));
          if (object == 1) ++box_seen;
          if (object == 2) ++bike_seen;
        }
      }
      QCOMPARE(box_seen, 1);  // exactly on the border: in the right tile only
      QCOMPARE(bike_seen, 1);
    }
  }

  void variants_follow_every_geometry() {
    const cv::Size size(320, 240);
    const QPolygonF object({{100, 60}, {220, 80}, {200, 180}, {90, 150}});
    const QString source = path("v.png");
    draw_objects(source, size, {object});
    const cv::Mat image = cv::imread(source.toStdString());
    LabelShape shape;
    shape.points = object;
    LabelShape box;
    box.class_id = 1;
    box.box = true;
    box.points = QPolygonF({{120, 90}, {180, 90}, {180, 140}, {120, 140}});

    const auto check = [&](const cv::Mat& out, const QTransform& geometry, const char* what) {
      const CarriedShapes carried = carry_shapes({shape}, geometry, QSize(out.cols, out.rows));
      QCOMPARE(carried.shapes.size(), 1);
      const double overlap = iou(mask_of(carried.shapes[0].points, out.size()), colour_mask(out, 0));
      QVERIFY2(overlap >= 0.95, qPrintable(QStringLiteral("%1: IoU %2").arg(what).arg(overlap)));
    };
    QTransform geometry;
    check(*crop_between(image, {60, 40}, {260, 200}, &geometry), geometry, "crop");
    check(*crop_between(image, {150, 100}, {300, 230}, &geometry), geometry, "crop across the object");
    check(*warp_quad(image, {cv::Point2f(40, 30), {300, 10}, {290, 230}, {20, 200}}, &geometry), geometry, "warp");
    for (const double angle : {90.0, -90.0, 180.0, 30.0, -47.0})
      check(rotate_bound(image, angle, &geometry), geometry, "rotation");

    // Random perspective jitter and rotation, one matrix: over many draws.
    AugmentRanges ranges;
    ranges.b_min = ranges.b_max = 0;
    ranges.c_min = ranges.c_max = 1;
    ranges.l_min = ranges.l_max = 1;
    ranges.w_min = 2;
    ranges.w_max = 8;
    ranges.r_min = -25;
    ranges.r_max = 25;
    std::mt19937_64 rng(11);
    for (int i = 0; i < 10; ++i) check(augment(image, ranges, rng, &geometry), geometry, "jitter and rotation");

    // A box turned by 45 degrees becomes the box around its turned corners.
    const cv::Mat turned = rotate_bound(image, 45, &geometry);
    const CarriedShapes carried = carry_shapes({box}, geometry, QSize(turned.cols, turned.rows));
    QVERIFY(carried.shapes[0].box);
    cv::Mat truth = mask_of(geometry.map(box.points), turned.size());
    const cv::Rect around = cv::boundingRect(truth);
    truth = cv::Mat::zeros(turned.size(), CV_8U);
    truth(around).setTo(255);
    QVERIFY(iou(mask_of(carried.shapes[0].points, turned.size()), truth) >= 0.95);

    // A written variant and its label file agree, end to end.
    VariantLabels labels;
    labels.shapes = {shape};
    for (int i = 0; i < 5; ++i) {
      const QString target = path(QStringLiteral("out/v_var_%1.png").arg(i));
      QDir().mkpath(path("out"));
      const Expected<VariantWritten> outcome = write_labelled_variant(image, ranges, target, &labels);
      QVERIFY(outcome && outcome->labelled && outcome->labels);
      const cv::Mat written = cv::imread(target.toStdString());
      const QVector<LabelShape> got = labels_of(target, written.size());
      QCOMPARE(got.size(), 1);
      QVERIFY(iou(mask_of(got[0].points, written.size()), colour_mask(written, 0)) >= 0.95);
    }
    // A confirmed background stays one; a picture without labels gets none.
    labels = VariantLabels{};
    labels.source_empty = true;
    const Expected<VariantWritten> background = write_labelled_variant(image, ranges, path("out/bg.png"), &labels);
    QVERIFY(background && background->labelled);
    QCOMPARE(QFileInfo(path("out/bg.txt")).size(), 0);
    const Expected<VariantWritten> unlabelled = write_labelled_variant(image, ranges, path("out/none.png"), nullptr);
    QVERIFY(unlabelled && !unlabelled->labelled);
    QVERIFY(!QFileInfo::exists(path("out/none.txt")));
  }

  void resized_copies_keep_and_turn_their_labels() {
    const cv::Size size(300, 200);
    const QPolygonF object({{40, 30}, {200, 50}, {180, 170}, {60, 150}});
    QDir().mkpath(path("src"));
    draw_objects(path("src/r.png"), size, {object});
    const QByteArray original = (label_line(0, object, size) + "1 0.5 0.5 0.2 0.3\n").toLatin1();
    QFile file(path("src/r.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(original);
    file.close();
    test::write_text(path("src/classes.txt"), "car\nsign\n");
    for (const int rotation : {0, 90, 180, 270}) {
      ResizeSettings s;
      s.width_text = "150";
      s.format = rotation == 180 ? QStringLiteral("JPEG") : QStringLiteral("Match Original");
      s.rotation = rotation;
      s.write_labels = true;
      const QString out = path(QStringLiteral("resized_%1").arg(rotation));
      QDir().mkpath(out);
      const BatchResult result = run_resize_batch({path("src/r.png")}, out, s);
      QVERIFY2(result.errors.isEmpty(), qPrintable(result.errors.join('\n')));
      QCOMPARE(result.written, 1);
      QCOMPARE(result.labelled, 1);
      QVERIFY(result.label_problems.isEmpty());
      QCOMPARE(test::read_text(QDir(out).filePath("classes.txt")), QString("car\nsign\n"));
      const QStringList images = QDir(out).entryList({"*.png", "*.jpg", "*.jpeg"}, QDir::Files);
      QCOMPARE(images.size(), 1);
      const QString image = QDir(out).filePath(images[0]);
      if (rotation == 0) QCOMPARE(test::read_bytes(label_path_for(image)), original);  // copied as it is
      const cv::Mat pixels = cv::imread(image.toStdString());
      const QVector<LabelShape> got = labels_of(image, pixels.size());
      QCOMPARE(got.size(), 2);
      QVERIFY(got[1].box);
      const double overlap = iou(mask_of(got[0].points, pixels.size()), colour_mask(pixels, 0));
      QVERIFY2(overlap >= 0.95, qPrintable(QStringLiteral("rotation %1: IoU %2").arg(rotation).arg(overlap)));
    }
  }

  void the_splitter_tab_reports_the_labels_it_carried() {
    ScriptedPrompts* prompts = ScriptedPrompts::install();
    QDir().mkpath(path("in"));
    const cv::Size size(200, 100);
    const QPolygonF car({{20, 20}, {180, 20}, {180, 80}, {20, 80}});  // over both tiles
    draw_objects(path("in/a.png"), size, {car});
    test::write_text(path("in/a.txt"), label_line(0, car, size));
    test::write_text(path("in/classes.txt"), "car\n");
    SplitterTab tab;
    test::find<QLineEdit>(tab, "entry_split_in")->setText(path("in"));
    test::find<QLineEdit>(tab, "entry_split_out")->setText(path("out"));
    test::find<QSpinBox>(tab, "spin_split_parts")->setValue(2);
    test::find<QComboBox>(tab, "combo_grid_mode")->setCurrentText("1 Rows x 2 Cols");
    test::find<QSpinBox>(tab, "spin_min_visible")->setValue(60);  // each half holds 50 %: both cut away
    // While the summary is read, no progress box may come back over it.
    bool progress_shown = false;
    prompts->while_asking = [&] {
      QTest::qWait(500);
      for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QProgressDialog*>(w) && w->isVisible()) progress_shown = true;
    };
    tab.process_image_splitting();
    QTRY_VERIFY_WITH_TIMEOUT(!prompts->messages.isEmpty(), 30000);
    QVERIFY(!progress_shown);
    QCOMPARE(prompts->messages.last().title, QString("Splitting Success"));
    QVERIFY2(prompts->messages.last().text.contains(
                 "0 tile(s) got label files; 2 object part(s) were cut away as too little of them was visible."),
             qPrintable(prompts->messages.last().text));
    test::find<QSpinBox>(tab, "spin_min_visible")->setValue(25);
    tab.process_image_splitting();
    QTRY_COMPARE_WITH_TIMEOUT(prompts->messages.size(), 2, 30000);
    QVERIFY(prompts->messages.last().text.contains("2 tile(s) got label files; 0 object part(s)"));
    QCOMPARE(test::read_text(path("out/part_1/classes.txt")), QString("car\n"));
    QCOMPARE(test::read_text(path("out/part_2/a_part_2.txt")),
             QString("0 0.000000 0.200000 0.800000 0.200000 0.800000 0.800000 0.000000 0.800000\n"));
  }

  void the_check_box_follows_the_input() {
    QDir().mkpath(path("with"));
    QDir().mkpath(path("without"));
    draw_objects(path("with/a.png"), {40, 30}, {});
    test::write_text(path("with/a.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    draw_objects(path("without/a.png"), {40, 30}, {});
    SplitterTab splitter;
    QVERIFY(!test::find<QCheckBox>(splitter, "chk_write_labels")->isEnabled());
    test::find<QLineEdit>(splitter, "entry_split_in")->setText(path("with"));
    QVERIFY(test::find<QCheckBox>(splitter, "chk_write_labels")->isEnabled() &&
            test::find<QCheckBox>(splitter, "chk_write_labels")->isChecked());
    test::find<QLineEdit>(splitter, "entry_split_in")->setText(path("without"));
    QVERIFY(!test::find<QCheckBox>(splitter, "chk_write_labels")->isEnabled() &&
            !test::find<QCheckBox>(splitter, "chk_write_labels")->isChecked());

    EnricherTab enricher;
    enricher.aug_open_folder(path("with"));
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<QCheckBox>(enricher, "chk_aug_write_labels")->isChecked());
    QCOMPARE(enricher.aug_display_labels.size(), 1);
    const auto near = [](const QRectF& a, const QRectF& b) {
      return std::abs(a.left() - b.left()) <= 1 && std::abs(a.top() - b.top()) <= 1 &&
             std::abs(a.right() - b.right()) <= 1 && std::abs(a.bottom() - b.bottom()) <= 1;
    };
    enricher.aug_rotate_fixed(-90);  // the working copy's labels turn with it (clockwise)
    QVERIFY(near(enricher.aug_display_labels[0].points.boundingRect(), QRectF(15, 4, 12, 16)));
    enricher.aug_reset_image();
    QVERIFY(near(enricher.aug_display_labels[0].points.boundingRect(), QRectF(4, 3, 16, 12)));
    enricher.aug_open_folder(path("without"));
    QVERIFY(test::settle_window_work());
    QVERIFY(!test::find<QCheckBox>(enricher, "chk_aug_write_labels")->isEnabled());
  }
};

QTEST_MAIN(TestLabelCarry)
#include "test_label_carry.moc"

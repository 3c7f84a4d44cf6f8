// Box datasets as converters and the engine lay them out, through every path of the studio:
// browsing, editing, undo, copying, drawing, the label kind, both exports and the image tools.
// Every output is read back with the test's own parser and compared with the source boxes.
#include <QComboBox>
#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>

#include "annotate/annotator_tab.h"
#include "core/file_copy.h"
#include "core/image_files.h"
#include "core/label_files.h"
#include "dataset/health_check.h"
#include "dataset/split_export.h"
#include "imaging/augment.h"
#include "imaging/resize_pipeline.h"
#include "imaging/tile_split.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/foreign_datasets.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;
using test::Box;

namespace {

const QSize kSize(256, 192);
// The names of the foreign datasets' three classes.
const QStringList kNames = {"car", "person", "bike"};

// Every file under `folder` with its bytes.
QMap<QString, QByteArray> snapshot(const QString& folder) {
  QMap<QString, QByteArray> files;
  QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    files[path] = test::read_bytes(path);
  }
  return files;
}

QString stem_of(const QString& path) { return QFileInfo(path).completeBaseName(); }

// The source box cut to `tile` (pixels of the source), in the tile's normalised terms; nullopt
// when less than `min_visible` of it lies inside.
std::optional<Box> clipped(const Box& b, const QRectF& tile, double min_visible) {
  const QRectF box((b.xc - b.w / 2) * kSize.width(), (b.yc - b.h / 2) * kSize.height(), b.w * kSize.width(),
                   b.h * kSize.height());
  const QRectF inside = box.intersected(tile);
  if (inside.isEmpty() || inside.width() * inside.height() < min_visible * box.width() * box.height() - 1e-9)
    return std::nullopt;
  const QPointF c = inside.center() - tile.topLeft();
  return Box{b.cls, c.x() / tile.width(), c.y() / tile.height(), inside.width() / tile.width(),
             inside.height() / tile.height()};
}

}  // namespace

class TestBoxDatasets : public QObject {
  Q_OBJECT

  void drag(const QPointF& from, const QPointF& to) {
    QWidget* vp = test::find<ZoomableView>(*tab_, "canvas_view")->viewport();
    const QPoint a = test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(from),
                 b = test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(to);
    QTest::mousePress(vp, Qt::LeftButton, {}, a);
    QTest::mouseMove(vp, (a + b) / 2);
    QTest::mouseMove(vp, b);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, b);
  }
  void click(const QPointF& at, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(test::find<ZoomableView>(*tab_, "canvas_view")->viewport(), button, {},
                      test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(at));
  }
  QPointF centre_of(const Box& b) const { return {b.xc * kSize.width(), b.yc * kSize.height()}; }
  QString label(const QString& stem) const { return dir_->filePath(stem + ".txt"); }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
    boxes_ = test::write_flat_box_dataset(dir_->path(), 4, kSize);
    tab_ = std::make_unique<AnnotatorTab>();
    tab_->resize(1400, 900);
    tab_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab_.get()));
  }
  void cleanup() { tab_.reset(); }

  void browsing_and_editing_keep_every_box() {
    const auto before = snapshot(dir_->path());
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: Boxes"));
    QCOMPARE(tab_->shapes_on_screen().size(), 3);
    QVERIFY(tab_->shapes_on_screen()[0].shown.is_box());
    for (int i = 0; i < 3; ++i) tab_->next_image();
    QVERIFY(test::settle_window_work());
    tab_->jump_to_image(0);
    QVERIFY(test::settle_window_work());
    QCOMPARE(snapshot(dir_->path()), before);  // browsing writes nothing

    // A move in Select/Move is one step: the moved line is still a box, the others untouched.
    const QString first = label("frame_000");
    const QByteArray source = test::read_bytes(first);
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText("Select/Move");
    const Box person = boxes_["frame_000"][1];
    drag(centre_of(person), centre_of(person) + QPointF(16, 8));
    const auto moved = test::read_box_file(first);
    QVERIFY2(moved, qPrintable(test::read_text(first)));
    QCOMPARE(moved->size(), 3);
    QVERIFY(test::same_boxes({(*moved)[0], (*moved)[2]}, {boxes_["frame_000"][0], boxes_["frame_000"][2]}));
    QVERIFY(std::abs((*moved)[1].w - person.w) < 1e-6 && std::abs((*moved)[1].h - person.h) < 1e-6);
    QVERIFY(std::abs(((*moved)[1].xc - person.xc) * kSize.width() - 16) < 1.5);
    const QStringList lines = test::read_text(first).split('\n');
    const QStringList source_lines = QString::fromUtf8(source).split('\n');
    QCOMPARE(lines[0], source_lines[0]);
    QCOMPARE(lines[2], source_lines[2]);
    tab_->handle_edit_key((Qt::CTRL | Qt::Key_Z).toCombined());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_bytes(first), source);

    // Copying the previous frame's boxes gives boxes.
    tab_->next_image();
    QVERIFY(test::settle_window_work());
    tab_->copy_previous_frame_shapes();
    const auto copied = test::read_box_file(label("frame_001"));
    QVERIFY(copied);
    QVERIFY2(test::same_boxes(*copied, boxes_["frame_000"]), qPrintable(test::describe(*copied)));
    tab_->undo();
    QVERIFY(test::same_boxes(*test::read_box_file(label("frame_001")), boxes_["frame_001"]));
  }

  void a_press_in_a_drawing_mode_always_draws_and_a_shaky_click_makes_nothing() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    const QString first = label("frame_000");
    const QByteArray source = test::read_bytes(first);
    const Box car = boxes_["frame_000"][0];
    const QPointF inside = centre_of(car);
    const QPointF edge((car.xc - car.w / 2) * kSize.width(), inside.y());
    int drawn = 0;
    const auto check_drawn = [&](const char* mode) {
      const auto now = test::read_box_file(first);
      QVERIFY2(now, mode);  // a box folder gets box lines only
      QCOMPARE(now->size(), 3 + drawn);
      // The shapes that were there are byte for byte as they were.
      QVERIFY2(test::read_bytes(first).startsWith(source), mode);
    };
    prompts_->choices = {0};  // "Save as Box" for the first circle
    for (const char* mode : {"Rectangle", "Circle", "Pentagon"}) {
      test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText(mode);
      for (const QPointF& start : {inside, edge}) {
        prompts_->dialogs.push_back(test::answer_label("bike"));
        drag(start, start + QPointF(20, 18));
        ++drawn;
        check_drawn(mode);
      }
    }
    QCOMPARE(prompts_->messages.size(), 1);  // the circle as a box was explained once
    QCOMPARE(prompts_->messages[0].title, QString("Box Labels"));
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText("Polygon");
    prompts_->dialogs.push_back(test::answer_label("bike"));
    click(inside);
    click(inside + QPointF(30, 0));
    click(inside + QPointF(15, 25));
    click(inside, Qt::RightButton);
    ++drawn;
    check_drawn("Polygon");
    QCOMPARE(prompts_->dialog_titles.size(), drawn);

    // A drag shorter than the platform's drag distance (a hand shaking 7 px), or a click, asks
    // nothing and writes nothing.
    const QByteArray now = test::read_bytes(first);
    QWidget* vp = test::find<ZoomableView>(*tab_, "canvas_view")->viewport();
    const QPoint at = test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(inside);
    for (const char* mode : {"Rectangle", "Circle", "Pentagon", "Polygon"}) {
      test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText(mode);
      QTest::mousePress(vp, Qt::LeftButton, {}, at);
      QTest::mouseMove(vp, at + QPoint(4, 3));
      QTest::mouseRelease(vp, Qt::LeftButton, {}, at + QPoint(4, 3));
      QTest::mouseClick(vp, Qt::LeftButton, {}, at + QPoint(40, 0));
      tab_->handle_edit_key(Qt::Key_Escape);
      QVERIFY(test::settle_window_work());
    }
    QCOMPARE(prompts_->dialog_titles.size(), drawn);
    QCOMPARE(test::read_bytes(first), now);
  }

  void new_shapes_follow_the_folder_kind_and_the_switch_counts_its_files() {
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText("Polygon");
    prompts_->choices = {1, 0};  // the notice: switch the folder to polygons; then rewrite
    prompts_->dialogs.push_back(test::answer_label("car"));
    emit test::find<InteractiveCanvas>(*tab_, "canvas")->polygon_completed(QPolygonF({{10, 10}, {60, 12}, {30, 50}}));
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.size(), 2);
    QCOMPARE(prompts_->messages[1].title, QString("Switch Label Kind"));
    QVERIFY(prompts_->messages[1].text.contains("12 line(s) in 4 label file(s)"));
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: Polygons"));
    for (const QString& stem : boxes_.keys()) {
      const QStringList lines = test::read_text(label(stem)).split('\n', Qt::SkipEmptyParts);
      for (const QString& line : lines) QVERIFY2(line.split(' ').size() >= 7, qPrintable(line));
    }
    // The drawn polygon stayed a polygon.
    QCOMPARE(test::read_text(label("frame_000")).split('\n', Qt::SkipEmptyParts).last(),
             QString("0 0.039062 0.052083 0.234375 0.062500 0.117188 0.260417"));
    QCOMPARE(test::read_text(dir_->filePath("classes.txt")), QString("car\nperson\nbike\n"));

    // Back to boxes: every file again, the corners giving back the converters' boxes.
    prompts_->choices = {0};
    test::find<QPushButton>(*tab_, "btn_label_kind")->click();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: Boxes"));
    for (const QString& stem : boxes_.keys()) {
      auto read = test::read_box_file(label(stem));
      QVERIFY(read);
      if (stem == "frame_000") read->removeLast();  // the polygon drawn, now its box
      QVERIFY2(test::same_boxes(*read, boxes_[stem]), qPrintable(stem + ": " + test::describe(*read)));
    }
    // Rectangles in a box folder are box lines.
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText("Rectangle");
    prompts_->dialogs.push_back(test::answer_label("car"));
    emit test::find<InteractiveCanvas>(*tab_, "canvas")
        ->polygon_completed(QPolygonF({{64, 48}, {128, 48}, {128, 96}, {64, 96}}));
    QCOMPARE(test::read_text(label("frame_000")).split('\n', Qt::SkipEmptyParts).last(),
             QString("0 0.375000 0.375000 0.250000 0.250000"));
  }

  void both_exports_keep_every_box() {
    QTemporaryDir engine;
    test::BoxesByStem all = boxes_;
    const test::BoxesByStem engine_boxes = test::write_engine_box_dataset(engine.path(), 3, kSize);
    struct Source {
      QStringList images;
      test::BoxesByStem boxes;
    };
    QStringList engine_images = list_folder_images(engine.path() + "/images/train");
    engine_images += list_folder_images(engine.path() + "/images/val");
    const Source sources[] = {{list_folder_images(dir_->path()), boxes_}, {engine_images, engine_boxes}};
    for (const Source& source : sources) {
      const QVector<ImageLabelPair> pairs = collect_annotated_pairs(source.images);
      QCOMPARE(pairs.size(), source.images.size());
      for (const LabelFormat format : {LabelFormat::Detection, LabelFormat::Segmentation}) {
        QTemporaryDir out;
        const Expected<ExportResult> result =
            export_dataset(pairs, plan_split(pairs.size(), 0.5, 0.5), out.path(), format, {"car", "person", "bike"});
        QVERIFY2(result.ok(), qPrintable(result.error()));
        QCOMPARE(result->boxes, pairs.size() * 3);
        QCOMPARE(result->polygons, 0);
        int checked = 0;
        QDirIterator it(out.path(), {"*.txt"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
          const QString path = it.next();
          const auto read = test::read_box_file(path);
          QVERIFY2(read, qPrintable(path));
          QVERIFY2(test::same_boxes(*read, source.boxes[stem_of(path)]),
                   qPrintable(path + ": " + test::describe(*read)));
          ++checked;
        }
        QCOMPARE(checked, pairs.size());
      }
    }
  }

  void an_export_is_whole_or_nothing_and_names_what_it_left_out() {
    // The engine's layout with two backgrounds its converter wrote as pictures without label files.
    QTemporaryDir engine;
    test::write_engine_box_dataset(engine.path(), 3, kSize);
    test::write_noise_image(engine.path() + "/images/train/empty_1.jpg", 64, 48, 7);
    test::write_noise_image(engine.path() + "/images/train/empty_2.jpg", 64, 48, 8);
    const QStringList images = list_folder_images(engine.path() + "/images/train");
    QStringList unlabelled;
    const QVector<ImageLabelPair> labelled = collect_annotated_pairs(images, false, &unlabelled);
    QCOMPARE(labelled.size(), 3);
    QCOMPARE(unlabelled, QStringList({"empty_1.jpg", "empty_2.jpg"}));

    QTemporaryDir out;
    const Expected<ExportResult> first_exported =
        export_dataset(labelled, plan_split(3, 1.0, 0.0), out.path(), LabelFormat::Detection, kNames);
    QVERIFY2(first_exported, qPrintable(first_exported.error()));
    ExportResult first = *first_exported;
    first.unlabelled = unlabelled;
    const GroupedSplit split = plan_grouped_split(labelled, 1.0, 0.0, 1);
    QVERIFY(export_summary_text(out.path(), split, first, 1, kNames)
                .contains("Left out 2 picture(s) without a label file (not annotated; the engine would train them as "
                          "backgrounds): empty_1.jpg, empty_2.jpg"));
    const auto before = snapshot(out.path());

    // With backgrounds: five pictures, two without label files, replacing the earlier export.
    const QVector<ImageLabelPair> all = collect_annotated_pairs(images, true);
    QCOMPARE(all.size(), 5);
    QVERIFY(!export_dataset(all, plan_split(5, 1.0, 0.0), out.path(), LabelFormat::Detection, kNames).ok());
    QCOMPARE(snapshot(out.path()), before);  // an earlier export is replaced only when asked
    // A label file that cannot be read half-way (a folder where it should be): the destination
    // stays as it was, and nothing of the attempt is left in it.
    QVector<ImageLabelPair> broken = all;
    QVERIFY(QFile::copy(images[0], engine.path() + "/broken.jpg"));
    QDir().mkpath(engine.path() + "/labels/train/broken.txt");
    broken.insert(3, {engine.path() + "/broken.jpg", engine.path() + "/labels/train/broken.txt"});
    const Expected<ExportResult> failed =
        export_dataset(broken, plan_split(6, 1.0, 0.0), out.path(), LabelFormat::Detection, kNames, nullptr, true);
    QVERIFY2(failed.error().contains("broken.txt"), qPrintable(failed.error()));
    QCOMPARE(snapshot(out.path()), before);
    QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"data.yaml", "test", "train", "val"}));
    // Cancelled: the same.
    std::atomic<bool> cancel{true};
    const Expected<ExportResult> cancelled =
        export_dataset(all, plan_split(5, 1.0, 0.0), out.path(), LabelFormat::Detection, kNames, &cancel, true);
    QVERIFY(cancelled->cancelled);
    QCOMPARE(snapshot(out.path()), before);
    const Expected<ExportResult> replaced =
        export_dataset(all, plan_split(5, 1.0, 0.0), out.path(), LabelFormat::Detection, kNames, nullptr, true);
    QVERIFY2(replaced.ok(), qPrintable(replaced.error()));
    QCOMPARE(replaced->backgrounds, 2);
    // An empty picture or one without a readable header is left out and named, as the engine drops it.
    test::write_text(engine.path() + "/images/train/zero.jpg", "");
    test::write_text(engine.path() + "/labels/train/zero.txt", "0 0.5 0.5 0.2 0.2\n");
    test::write_text(engine.path() + "/images/train/junk.png", "not a picture");
    test::write_text(engine.path() + "/labels/train/junk.txt", "0 0.5 0.5 0.2 0.2\n");
    QTemporaryDir more;
    const QVector<ImageLabelPair> with_bad =
        collect_annotated_pairs(list_folder_images(engine.path() + "/images/train"));
    const Expected<ExportResult> partial_exported =
        export_dataset(with_bad, plan_split(with_bad.size(), 1.0, 0.0), more.path(), LabelFormat::Detection, kNames);
    QVERIFY2(partial_exported, qPrintable(partial_exported.error()));
    const ExportResult partial = *partial_exported;
    QCOMPARE(partial.left_out, QStringList({"junk.png: cannot identify image file", "zero.jpg: an empty file"}));
    QCOMPARE(partial.counts.train, 3);
    QCOMPARE(list_folder_images(out.filePath("train/images")).size(), 5);
    QVERIFY(!QFileInfo::exists(out.filePath("train/labels/empty_1.txt")));
    QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"data.yaml", "test", "train", "val"}));
  }

  void the_image_tools_carry_boxes() {
    const QString picture = dir_->filePath("frame_003.png");
    const QVector<Box> source = boxes_["frame_003"];

    // Tiles: left and right halves, each object cut to its tile.
    QTemporaryDir tiles;
    const SplitOutcome split = split_one_image(picture, tiles.path(), 1, 2, 2, false, {true, 0.2});
    QCOMPARE(split.tiles, 2);
    QStringList tile_files = list_folder_images(tiles.path());
    tile_files.sort();
    QCOMPARE(tile_files.size(), 2);
    for (int t = 0; t < 2; ++t) {
      const QRectF rect(t * kSize.width() / 2.0, 0, kSize.width() / 2.0, kSize.height());
      QVector<Box> expected;
      for (const Box& b : source)
        if (const auto c = clipped(b, rect, 0.2)) expected << *c;
      const auto read = test::read_box_file(label_path_for(tile_files[t]));
      QVERIFY2(read, qPrintable(tile_files[t]));
      QVERIFY2(test::same_boxes(*read, expected), qPrintable(test::describe(*read) + " / " + test::describe(expected)));
    }

    // Variants: without geometry the boxes are the source's; turned by 90 degrees, width and
    // height trade places.
    const cv::Mat base = cv::imread(picture.toStdString());
    VariantLabels labels;
    labels.shapes = read_label_file(label_path_for(picture), -1, base.cols, base.rows)->shapes;
    QTemporaryDir variants;
    for (const double angle : {0.0, 90.0}) {
      AugmentRanges still{0, 0, 1, 1, angle, angle, 1, 1, 0, 0};
      const QString out = variants.filePath(QStringLiteral("v%1.jpg").arg(angle));
      const Expected<VariantWritten> written = write_labelled_variant(base, still, out, &labels);
      QVERIFY2(written, qPrintable(written.error()));
      QVERIFY2(written->labelled, qPrintable(written->labels.error()));
      const auto read = test::read_box_file(label_path_for(out));
      QVERIFY(read);
      QCOMPARE(read->size(), source.size());
      for (int i = 0; i < source.size(); ++i) {
        const Box& b = (*read)[i];
        QCOMPARE(b.cls, source[i].cls);
        if (angle == 0.0) {
          QVERIFY2(test::same_boxes({b}, {source[i]}), qPrintable(test::describe({b})));
        } else {
          const cv::Mat turned = cv::imread(out.toStdString());
          QVERIFY(std::abs(b.w * turned.cols - source[i].h * kSize.height()) < 1.5);
          QVERIFY(std::abs(b.h * turned.rows - source[i].w * kSize.width()) < 1.5);
        }
      }
    }

    // Resized copies: the same normalised boxes; turned clockwise, (x, y) -> (1 - y, x).
    for (const int rotation : {0, 90}) {
      QTemporaryDir resized;
      ResizeSettings settings;
      settings.width_text = "128";
      settings.write_labels = true;
      settings.rotation = rotation;
      const BatchResult batch = run_resize_batch({picture}, resized.path(), settings);
      QCOMPARE(batch.written, 1);
      QCOMPARE(batch.labelled, 1);
      const QStringList outputs = list_folder_images(resized.path());
      const auto read = test::read_box_file(label_path_for(outputs.value(0)));
      QVERIFY(read);
      QVector<Box> expected = source;
      if (rotation == 90)
        for (Box& b : expected) b = Box{b.cls, 1 - b.yc, b.xc, b.h, b.w};
      QVERIFY2(test::same_boxes(*read, expected), qPrintable(test::describe(*read)));
    }
  }

  void tiff_pictures_are_pictures_everywhere() {
    // The engine trains on TIFF: so does every tool here, and its label file is no orphan.
    const cv::Mat pixels = cv::imread(dir_->filePath("frame_000.jpg").toStdString());
    QVERIFY(cv::imwrite(dir_->filePath("scan.tif").toStdString(), pixels));
    QVERIFY(QFile::copy(label("frame_000"), label("scan")));
    QVERIFY(list_folder_images(dir_->path()).contains(dir_->filePath("scan.tif")));
    const auto health = examine_folder(dir_->path());
    QVERIFY(health->orphaned.isEmpty());
    QVERIFY(health->unannotated.isEmpty());
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->queue().paths().contains(dir_->filePath("scan.tif")));
    tab_->show_image_file(dir_->filePath("scan.tif"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 3);

    QTemporaryDir out;
    const QVector<ImageLabelPair> pairs = collect_annotated_pairs(list_folder_images(dir_->path()));
    QVERIFY(export_dataset(pairs, plan_split(pairs.size(), 1.0, 0.0), out.path(), LabelFormat::Detection, kNames).ok());
    QVERIFY(QFileInfo::exists(out.filePath("train/images/scan.tif")));
    QVERIFY(test::same_boxes(*test::read_box_file(out.filePath("train/labels/scan.txt")), boxes_["frame_000"]));

    QTemporaryDir tiles;
    QCOMPARE(split_one_image(dir_->filePath("scan.tif"), tiles.path(), 1, 2, 2, false, {true, 0.2}).tiles, 2);
    QCOMPARE(list_folder_images(tiles.path()).size(), 2);
    QVERIFY(list_folder_images(tiles.path()).first().endsWith(".tif"));
    QVERIFY(test::read_box_file(label_path_for(list_folder_images(tiles.path()).first())));

    QTemporaryDir resized;
    ResizeSettings settings;
    settings.width_text = "128";
    settings.write_labels = true;
    const BatchResult batch = run_resize_batch({dir_->filePath("scan.tif")}, resized.path(), settings);
    QVERIFY2(batch.errors.isEmpty(), qPrintable(batch.errors.join('\n')));
    const QStringList written = list_folder_images(resized.path());
    QCOMPARE(written.size(), 1);
    QVERIFY(written.first().endsWith("scan_scaled.tif"));
    QCOMPARE(cv::imread(written.first().toStdString()).cols, 128);
    QVERIFY(test::same_boxes(*test::read_box_file(label_path_for(written.first())), boxes_["frame_000"]));
  }

  void an_engine_layout_dataset_is_edited_in_its_labels_folder() {
    QTemporaryDir engine;
    const test::BoxesByStem boxes = test::write_engine_box_dataset(engine.path(), 2, kSize);
    tab_->open_folder(engine.path() + "/images/train");
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().label_folder(), engine.path() + "/labels/train");
    QCOMPARE(test::find<QLabel>(*tab_, "lbl_label_kind")->text(), QString("Labels: Boxes"));
    QCOMPARE(tab_->class_names(), QStringList({"car", "person", "bike"}));
    const QString file = engine.path() + "/labels/train/frame_000.txt";
    const QByteArray source = test::read_bytes(file);
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText("Rectangle");
    prompts_->dialogs.push_back(test::answer_label("person"));
    drag({10, 10}, {50, 40});
    const auto read = test::read_box_file(file);
    QVERIFY(read);
    QCOMPARE(read->size(), 4);
    QCOMPARE(read->last().cls, 1);
    tab_->undo();
    QCOMPARE(test::read_bytes(file), source);
    QVERIFY(!QFileInfo::exists(engine.path() + "/images/train/frame_000.txt"));
    QVERIFY(!QFileInfo::exists(engine.path() + "/images/train/classes.txt"));
    Q_UNUSED(boxes);
  }

  void other_tools_layouts_open_with_their_names_and_classes() {
    QTemporaryDir foreign;
    test::write_foreign_datasets(foreign.path());
    // CVAT's obj.names and Label Studio's classes.txt name the classes in the window.
    tab_->open_folder(foreign.filePath("cvat/obj_train_data"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->class_names(), QStringList({"car", "person", "bike"}));
    tab_->open_folder(foreign.filePath("label_studio/images"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->queue().label_folder(), foreign.filePath("label_studio/labels"));
    QCOMPARE(tab_->class_names(), QStringList({"car", "person", "bike"}));
    // A class written "2.0" is class 2, shown as any other.
    tab_->open_folder(foreign.filePath("float_ids"));
    QVERIFY(test::settle_window_work());
    tab_->show_image_file(foreign.filePath("float_ids/pic_002.jpg"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 2);
    QCOMPARE(tab_->shapes_on_screen()[1].label, QString("bike"));
    // Labels beside pictures inside images/: shown, and the user is told where the engine looks.
    QSignalSpy notices(tab_.get(), &AnnotatorTab::notice_signal);
    tab_->open_folder(foreign.filePath("beside/images"));
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 3);
    bool told = false;
    for (const QList<QVariant>& notice : notices)
      told = told || notice.value(0).toString().contains("the engine looks for them in");
    QVERIFY(told);
  }

 private:
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<AnnotatorTab> tab_;
  test::BoxesByStem boxes_;
};

QTEST_MAIN(TestBoxDatasets)
#include "test_box_datasets.moc"

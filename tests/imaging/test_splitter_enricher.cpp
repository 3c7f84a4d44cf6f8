#include <vips/vips8>

#include <sys/resource.h>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/image_limits.h"
#include "imaging/augment.h"
#include "imaging/enricher_tab.h"
#include "imaging/resize_pipeline.h"
#include "imaging/splitter_tab.h"
#include "imaging/tile_plan.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

// A picture whose every pixel differs: (x mod 256, y mod 256, (x + y) mod 256).
cv::Mat gradient(int w, int h) {
  cv::Mat m(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) m.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 256, y % 256, (x + y) % 256);
  return m;
}

void write(const QString& path, const cv::Mat& m) { QVERIFY(cv::imwrite(path.toStdString(), m)); }

AugmentRanges neutral() { return {0, 0, 1, 1, 0, 0, 1, 1, 0, 0}; }

}  // namespace

class TestSplitterEnricher : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;
  QString path(const QString& n) const { return dir_->filePath(n); }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
  }

  void grid_modes_and_spans() {
    QCOMPARE(grid_modes(4), QStringList({"1 Rows x 4 Cols", "2 Rows x 2 Cols", "4 Rows x 1 Cols"}));
    QCOMPARE(grid_modes(7), QStringList({"1 Rows x 7 Cols", "7 Rows x 1 Cols"}));
    QCOMPARE(grid_modes(1), QStringList({"1 Rows x 1 Cols"}));
    QCOMPARE(*parse_grid_mode("2 Rows x 3 Cols"), std::make_pair(2, 3));
    QCOMPARE(tile_spans(1000, 750, 2, 2), QVector<QRect>({QRect(0, 0, 500, 375), QRect(500, 0, 500, 375),
                                                          QRect(0, 375, 500, 375), QRect(500, 375, 500, 375)}));
    const auto rows = tile_spans(10, 1000, 3, 1);
    QCOMPARE(rows[0].height(), 333);
    QCOMPARE(rows[2].height(), 334);
    QCOMPARE(tile_spans(103, 10, 1, 4).last().width(), 28);  // the last column takes the remainder
    QCOMPARE(tile_relative_path("/a/site.JPG", 3, 12, true), QString("part_03/site_part_03.JPG"));
    QCOMPARE(tile_relative_path("/a/site.png", 7, 100, false), QString("site_part_007.png"));
  }

  void splitting_a_folder() {
    QDir().mkpath(path("in"));
    write(path("in/site.jpg"), gradient(1000, 750));
    write(path("in/Shot.PNG"), gradient(64, 48));
    test::write_text(path("in/broken.png"), "not an image");
    test::write_text(path("in/notes.txt"), "x");
    SplitterTab tab;
    QCOMPARE(test::find<QComboBox>(tab, "combo_grid_mode")->count(), 3);
    test::find<QSpinBox>(tab, "spin_split_parts")->setValue(12);
    QCOMPARE(test::find<QComboBox>(tab, "combo_grid_mode")->currentText(), QString("1 Rows x 12 Cols"));

    tab.process_image_splitting();
    QCOMPARE(prompts_->messages.last().text, QString("Specify valid Input and Output directories."));
    test::find<QLineEdit>(tab, "entry_split_in")->setText(path("empty"));
    QDir().mkpath(path("empty"));
    test::find<QLineEdit>(tab, "entry_split_out")->setText(path("out"));
    tab.process_image_splitting();
    QCOMPARE(prompts_->messages.last().title, QString("No Images"));

    test::find<QLineEdit>(tab, "entry_split_in")->setText(" " + path("in") + " ");
    test::find<QComboBox>(tab, "combo_grid_mode")->setCurrentText("3 Rows x 4 Cols");
    tab.process_image_splitting();
    QTRY_VERIFY_WITH_TIMEOUT(prompts_->messages.last().title == "Splitting Success", 30000);
    QCOMPARE(
        prompts_->messages.last().text,
        QString("Split 2 images into 24 tile parts.\n1 image(s) could not be read:\nbroken.png: not a readable image"
                "\nOutput folder: " +
                QDir::toNativeSeparators(path("out"))));
    QVERIFY(QFileInfo::exists(path("out/part_01/site_part_01.jpg")));
    QVERIFY(QFileInfo::exists(path("out/part_12/Shot_part_12.PNG")));
    const cv::Mat last = cv::imread(path("out/part_12/Shot_part_12.PNG").toStdString());
    QCOMPARE(last.cols, 16);
    QCOMPARE(last.rows, 16);
    // PNG tiles are lossless: the tile is exactly the source's bottom-right cell.
    const cv::Mat source = gradient(64, 48);
    QCOMPARE(cv::norm(last, source(cv::Rect(48, 32, 16, 16)), cv::NORM_INF), 0.0);
    // A JPEG tile is, byte for byte, what OpenCV's writer makes of the decoded cell (quality 95,
    // 4:2:0, the accurate transform), though another encoder writes it.
    const cv::Mat site = cv::imread(path("in/site.jpg").toStdString());
    const QRect cell = tile_spans(1000, 750, 3, 4)[5];
    std::vector<uchar> expected;
    QVERIFY(cv::imencode(".jpg", site(cv::Rect(cell.x(), cell.y(), cell.width(), cell.height())), expected));
    const QByteArray tile = test::read_bytes(path("out/part_06/site_part_06.jpg"));
    QVERIFY(tile == QByteArray(reinterpret_cast<const char*>(expected.data()), static_cast<int>(expected.size())));

    // Without subfolders, into a folder that does not exist yet; a grid larger than an image.
    test::find<QCheckBox>(tab, "chk_subfolders")->setChecked(false);
    test::find<QSpinBox>(tab, "spin_split_parts")->setValue(100);
    test::find<QComboBox>(tab, "combo_grid_mode")->setCurrentText("100 Rows x 1 Cols");
    test::find<QLineEdit>(tab, "entry_split_out")->setText(path("flat/deeper"));
    tab.process_image_splitting();
    QTRY_VERIFY_WITH_TIMEOUT(prompts_->messages.size() == 4, 30000);
    // 48 pixel rows in 100 grid rows: 99 rows of height 0 and a last row of 48.
    QCOMPARE(
        prompts_->messages.last().text,
        QString("Split 2 images into 101 tile parts.\n1 image(s) could not be read:\nbroken.png: not a readable image\n"
                "99 empty tile(s) skipped: an image has fewer pixels than grid cells.\nOutput folder: " +
                QDir::toNativeSeparators(path("flat/deeper"))));
    QVERIFY(QFileInfo::exists(path("flat/deeper/site_part_001.jpg")));
    QVERIFY(QFileInfo::exists(path("flat/deeper/Shot_part_100.PNG")));
    QVERIFY(!QFileInfo::exists(path("flat/deeper/Shot_part_001.PNG")));
  }

  void huge_pictures_are_refused_by_their_header() {
    // 69 bytes that claim 60000 x 60000 pixels: the splitter names it and splits the others;
    // the enricher and the annotator refuse it at once, naming its size.
    QDir().mkpath(path("big"));
    write(path("big/a.png"), gradient(40, 30));
    write(path("big/c.png"), gradient(40, 30));
    test::write_png_claiming(path("big/b.png"), 60000, 60000);

    SplitterTab tab;
    test::find<QLineEdit>(tab, "entry_split_in")->setText(path("big"));
    test::find<QLineEdit>(tab, "entry_split_out")->setText(path("big_out"));
    test::find<QComboBox>(tab, "combo_grid_mode")->setCurrentIndex(0);
    tab.process_image_splitting();
    QTRY_VERIFY_WITH_TIMEOUT(!prompts_->messages.isEmpty() && prompts_->messages.last().title == "Splitting Success",
                             30000);
    const QString text = prompts_->messages.last().text;
    QVERIFY2(text.startsWith("Split 2 images into ") && text.contains("1 image(s) could not be read:\nb.png: "),
             qPrintable(text));

    EnricherTab enricher;
    QVERIFY(!too_large_to_decode(path("big/b.png")).isEmpty());
    QVERIFY(too_large_to_decode(path("big/b.png")).contains("60000 x 60000"));
    QVERIFY(too_large_to_decode(path("big/a.png")).isEmpty());
  }

  void a_30000_pixel_square_is_tiled_within_a_gigabyte() {
    if (!test::slow_tests_enabled()) QSKIP("slow: runs in its own entry (ctest -L slow)");
    // 900 megapixels: 2.7 GB decoded whole. Tiled on the streaming pipeline it must stay far below.
    ensure_vips();
    QDir().mkpath(path("huge"));
    vips::VImage::black(30000, 30000, vips::VImage::option()->set("bands", 3))
        .linear(1.0, 90.0)
        .cast(VIPS_FORMAT_UCHAR)
        .pngsave(QFile::encodeName(path("huge/square.png")).constData(), vips::VImage::option()->set("compression", 1));
    struct rusage before {};
    getrusage(RUSAGE_SELF, &before);
    const SplitOutcome out = split_one_image(path("huge/square.png"), path("huge_out"), 2, 2, 4, false);
    struct rusage after {};
    getrusage(RUSAGE_SELF, &after);
    QVERIFY2(out.unreadable.isEmpty() && out.failed.isEmpty(),
             qPrintable(out.unreadable.join(';') + out.failed.join(';')));
    QCOMPARE(out.tiles, 4);
    const long grown_mb = (after.ru_maxrss - before.ru_maxrss) / 1024;
    qInfo("peak RSS %ld MB before, %ld MB after tiling", before.ru_maxrss / 1024, after.ru_maxrss / 1024);
    QVERIFY2(after.ru_maxrss / 1024 < 1024, qPrintable(QStringLiteral("peak RSS grew by %1 MB").arg(grown_mb)));
    const QStringList tiles = QDir(path("huge_out")).entryList(QDir::Files, QDir::Name);
    QCOMPARE(tiles.size(), 4);
    QCOMPARE(header_size(path("huge_out/") + tiles[3]), QSize(15000, 15000));
  }

  void one_tile_and_failed_writes() {
    QDir().mkpath(path("in"));
    write(path("in/a.png"), gradient(20, 10));
    const SplitOutcome whole = split_one_image(path("in/a.png"), path("out"), 1, 1, 1, true);
    QCOMPARE(whole.tiles, 1);
    QVERIFY(QFileInfo::exists(path("out/part_1/a_part_1.png")));
    QDir().mkpath(path("locked"));
    if (!test::make_unwritable(path("locked"))) QSKIP("cannot make a folder unwritable here");
    const SplitOutcome denied = split_one_image(path("in/a.png"), path("locked"), 1, 2, 2, false);
    test::make_writable(path("locked"));
    QCOMPARE(denied.tiles, 0);
    QCOMPARE(denied.failed.size(), 2);
    SplitOutcome refused;
    refused.files = 1;
    refused.failed = denied.failed;
    QVERIFY(split_summary(refused).contains("2 tile(s) could not be written"));
  }

  void crop_warp_and_rotation_ops() {
    const cv::Mat img = gradient(200, 100);
    const auto crop = crop_between(img, {10.7, 20.2}, {5.3, 50.9});
    QVERIFY(crop);
    QCOMPARE(crop->cols, 5);
    QCOMPARE(crop->rows, 30);
    QCOMPARE(crop->at<cv::Vec3b>(0, 0), img.at<cv::Vec3b>(20, 5));
    QVERIFY(!crop_between(img, {10, 5}, {10.9, 80}));              // one vertical line
    const auto clamped = crop_between(img, {-40, -5}, {20, 500});  // clicks beside the picture
    QCOMPARE(clamped->cols, 20);
    QCOMPARE(clamped->rows, 100);

    const auto warped = warp_quad(img, {cv::Point2f(10, 10), {110, 10}, {110, 60}, {10, 60}});
    QCOMPARE(warped->cols, 100);
    QCOMPARE(warped->rows, 50);
    QVERIFY(!warp_quad(img, {cv::Point2f(10, 10), {11, 10}, {11, 60}, {10, 60}}));  // under 2 pixels wide

    QCOMPARE(rotate_bound(gradient(640, 480), -90).size(), cv::Size(480, 640));
    QCOMPARE(rotate_bound(gradient(100, 100), 45).size(), cv::Size(141, 141));
    cv::Mat turned = gradient(64, 48);
    for (int i = 0; i < 4; ++i) turned = rotate_bound(turned, 90);
    QCOMPARE(turned.size(), cv::Size(64, 48));
  }

  void augmentation_steps() {
    std::mt19937_64 rng(1);
    const cv::Mat img = gradient(120, 80);
    QCOMPARE(cv::norm(augment(img, neutral(), rng), img, cv::NORM_INF), 0.0);  // identity

    AugmentRanges dark = neutral();
    dark.b_min = dark.b_max = -100;
    const cv::Mat black(10, 10, CV_8UC3, cv::Scalar::all(0));
    QCOMPARE(augment(black, dark, rng).at<cv::Vec3b>(5, 5), cv::Vec3b(100, 100, 100));  // absolute value

    const auto table = gamma_table(2.0);
    QCOMPARE(int(table[64]), int(std::pow(64 / 255.0, 0.5) * 255));
    QCOMPARE(int(table[255]), 255);
    QVERIFY(table[128] > 128);  // gamma above 1 brightens the mid-tones

    // A warp maximum of 0 skips the perspective step whatever its minimum: the draws stay
    // identical to those of a run without it.
    AugmentRanges no_warp = neutral();
    no_warp.w_min = 30;
    std::mt19937_64 a(5), b(5);
    QCOMPARE(cv::norm(augment(img, no_warp, a), augment(img, neutral(), b), cv::NORM_INF), 0.0);
    AugmentRanges warp = neutral();
    warp.w_min = warp.w_max = 10;
    QVERIFY(cv::norm(augment(img, warp, a), img, cv::NORM_INF) > 0);
  }

  void enricher_workspace_and_navigation() {
    QDir().mkpath(path("in/sub.jpg"));
    write(path("in/b.jpg"), gradient(64, 48));
    write(path("in/a.PNG"), gradient(32, 32));
    write(path("in/B.jpg"), gradient(40, 20));
    test::write_text(path("in/notes.txt"), "x");
    EnricherTab tab;
    tab.resize(900, 600);
    tab.run_aug_preview();
    QCOMPARE(prompts_->messages.last().text, QString("Load an input dataset folder first."));
    prompts_->directories.push_back(path("in"));
    tab.aug_load_input();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.aug_image_paths.size(), 4);
    QCOMPARE(QFileInfo(tab.aug_image_paths[0]).fileName(), QString("B.jpg"));  // upper case first
    QCOMPARE(test::find<QLabel>(tab, "aug_lbl_status")->text(), QString("Total Images: 4 | Enriched: 0"));
    QCOMPARE(test::find<QLabel>(tab, "aug_lbl_counter")->text(), QString("1 / 4 - B.jpg"));
    tab.aug_prev_image();  // wraps to the last: the sub-folder, which cannot be read
    QVERIFY(test::settle_window_work());
    QVERIFY(test::settle_window_work());
    QCOMPARE(*tab.aug_current_idx, 3);
    QCOMPARE(test::find<QLabel>(tab, "aug_lbl_counter")->text(), QString("1 / 4 - B.jpg"));
    // Variants made now come from B.jpg, still on the canvas, and are credited to it.
    test::find<QLineEdit>(tab, "aug_entry_out")->setText(path("credit"));
    test::find<QSpinBox>(tab, "spin_aug_gen_count")->setValue(1);
    tab.enrich_current_image();
    QTRY_VERIFY_WITH_TIMEOUT(!prompts_->messages.isEmpty() && prompts_->messages.last().title == "Success", 30000);
    QCOMPARE(tab.aug_history, QSet<QString>({path("in/B.jpg")}));
    QVERIFY(QDir(path("credit")).entryList(QDir::Files).first().startsWith("B_warped_enriched_"));
    tab.aug_next_image();  // from the last to the first
    QVERIFY(test::settle_window_work());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "aug_lbl_counter")->text(), QString("1 / 4 - B.jpg"));
    tab.aug_next_image();
    QVERIFY(test::settle_window_work());
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QLabel>(tab, "aug_lbl_counter")->text(), QString("2 / 4 - a.PNG"));

    // Zoom survives an edit; a new image is fitted again.
    test::find<ZoomableView>(tab, "aug_preview_view")->scale(3, 3);
    const double zoomed = test::find<ZoomableView>(tab, "aug_preview_view")->transform().m11();
    tab.aug_rotate_fixed(90);
    QCOMPARE(test::find<ZoomableView>(tab, "aug_preview_view")->transform().m11(), zoomed);
    tab.aug_next_image();
    QVERIFY(test::settle_window_work());
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<ZoomableView>(tab, "aug_preview_view")->transform().m11() != zoomed);
  }

  void enricher_transforms_through_the_canvas() {
    QDir().mkpath(path("in"));
    write(path("in/pic.png"), gradient(200, 100));
    EnricherTab tab;
    tab.aug_open_folder(path("in"));
    QVERIFY(test::settle_window_work());
    test::find<QComboBox>(tab, "aug_combo_mode")->setCurrentText("Crop");
    QCOMPARE(test::find<InteractiveCanvas>(tab, "aug_canvas")->draw_mode, QString("Crop"));
    emit test::find<InteractiveCanvas>(tab, "aug_canvas")->point_clicked({10.7, 20.2});
    QCOMPARE(tab.aug_display_cv_img->cols, 200);  // the first click changes nothing visible
    emit test::find<InteractiveCanvas>(tab, "aug_canvas")->point_clicked({5.3, 50.9});
    QCOMPARE(tab.aug_display_cv_img->size(), cv::Size(5, 30));
    QCOMPARE(tab.aug_active_base_img->size(), cv::Size(5, 30));
    QCOMPARE(test::find<QComboBox>(tab, "aug_combo_mode")->currentText(), QString("Select/Move"));
    QVERIFY(tab.aug_crop_points.isEmpty());

    tab.aug_reset_image();
    QCOMPARE(tab.aug_display_cv_img->size(), cv::Size(200, 100));
    test::find<QComboBox>(tab, "aug_combo_mode")->setCurrentText("Warp");
    for (QPointF p : {QPointF(10, 10), QPointF(110, 10), QPointF(110, 60)})
      emit test::find<InteractiveCanvas>(tab, "aug_canvas")->point_clicked(p);
    test::find<QComboBox>(tab, "aug_combo_mode")
        ->setCurrentText("Crop");  // a mode change drops the half-collected corners
    QVERIFY(tab.aug_warp_points.isEmpty());
    test::find<QComboBox>(tab, "aug_combo_mode")->setCurrentText("Warp");
    for (QPointF p : {QPointF(10, 10), QPointF(110, 10), QPointF(110, 60), QPointF(10, 60)})
      emit test::find<InteractiveCanvas>(tab, "aug_canvas")->point_clicked(p);
    QCOMPARE(tab.aug_display_cv_img->size(), cv::Size(100, 50));
    QCOMPARE(test::find<QComboBox>(tab, "aug_combo_mode")->currentText(), QString("Select/Move"));

    // A degenerate quadrilateral is refused: the image stays, the mode returns.
    test::find<QComboBox>(tab, "aug_combo_mode")->setCurrentText("Warp");
    for (QPointF p : {QPointF(1, 1), QPointF(1, 1), QPointF(1, 1), QPointF(1, 1)})
      emit test::find<InteractiveCanvas>(tab, "aug_canvas")->point_clicked(p);
    QCOMPARE(tab.aug_display_cv_img->size(), cv::Size(100, 50));
    QCOMPARE(test::find<QComboBox>(tab, "aug_combo_mode")->currentText(), QString("Select/Move"));

    test::find<QLineEdit>(tab, "aug_entry_angle")->setText("abc");
    tab.aug_rotate_custom();
    QCOMPARE(prompts_->messages.last().title, QString("Error"));
    QCOMPARE(prompts_->messages.last().text, QString("Enter a valid numeric angle."));
    test::find<QLineEdit>(tab, "aug_entry_angle")->setText("");
    tab.aug_rotate_custom();
    QCOMPARE(prompts_->messages.size(), 2);
    QCOMPARE(tab.aug_display_cv_img->size(), cv::Size(100, 50));
    test::find<QLineEdit>(tab, "aug_entry_angle")->setText("  90 ");
    tab.aug_rotate_custom();
    QCOMPARE(tab.aug_display_cv_img->size(), cv::Size(50, 100));
  }

  void preview_and_variant_writer() {
    QDir().mkpath(path("in"));
    write(path("in/pic.png"), gradient(80, 60));
    EnricherTab tab;
    tab.aug_image_paths = {path("in/pic.png")};
    tab.run_aug_preview();  // loads the first image as the working copy
    QVERIFY(tab.aug_active_base_img);
    QVERIFY(tab.aug_display_cv_img);

    tab.enrich_current_image();
    QCOMPARE(prompts_->messages.last().text, QString("Select a valid output directory first."));
    test::find<QLineEdit>(tab, "aug_entry_out")->setText(path("variants/new"));
    test::find<QSpinBox>(tab, "spin_aug_gen_count")->setValue(10);
    tab.enrich_current_image();
    QTRY_VERIFY_WITH_TIMEOUT(prompts_->messages.last().title == "Success", 30000);
    QCOMPARE(
        prompts_->messages.last().text,
        QString("Enrichment complete! Saved 10 variant(s) of the manipulated image.\nSource: pic.png\nOutput folder: " +
                QDir::toNativeSeparators(path("variants/new"))));
    const QStringList files = QDir(path("variants/new")).entryList(QDir::Files, QDir::Name);
    QCOMPARE(files.size(), 10);
    QVERIFY(QRegularExpression("^pic_warped_enriched_\\d+_var_1\\.jpg$").match(files.first()).hasMatch());
    QCOMPARE(test::find<QLabel>(tab, "aug_lbl_status")->text(), QString("Total Images: 1 | Enriched: 1"));
    // A second batch straight after (the same second, most likely) keeps every earlier file.
    const int shown = prompts_->messages.size();
    tab.enrich_current_image();
    QTRY_VERIFY_WITH_TIMEOUT(prompts_->messages.size() > shown, 30000);
    QCOMPARE(QDir(path("variants/new")).entryList(QDir::Files).size(), 20);

    EnricherTab empty;
    test::find<QLineEdit>(empty, "aug_entry_out")->setText(path("x"));
    empty.enrich_current_image();
    QCOMPARE(prompts_->messages.last().text, QString("No image is currently loaded on the canvas."));
  }
};

QTEST_MAIN(TestSplitterEnricher)
#include "test_splitter_enricher.moc"

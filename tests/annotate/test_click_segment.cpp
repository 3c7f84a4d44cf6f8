// Click to segment through the window: the modes take clicks, negative clicks and a rough box on
// the picture, and Enter, a double click, Escape, Backspace and Ctrl+Z act as a user expects. The
// model is the tiny exported pair of tests/data/segment; Refine Box needs none.
#include <QComboBox>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "annotate/annotator_tab.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

const QString kData = QStringLiteral(QUORLAN_SEGMENT_DATA);

}  // namespace

class TestClickSegment : public QObject {
  Q_OBJECT

  ScriptedPrompts* prompts_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<AnnotatorTab> tab_;

  QWidget* viewport() const { return test::find<ZoomableView>(*tab_, "canvas_view")->viewport(); }
  QPoint on_screen(QPointF at) const { return test::find<ZoomableView>(*tab_, "canvas_view")->mapFromScene(at); }
  void click(QPointF at, Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers keys = {}) {
    QTest::mouseClick(viewport(), button, keys, on_screen(at));
  }
  void drag(QPointF from, QPointF to) {
    QTest::mousePress(viewport(), Qt::LeftButton, {}, on_screen(from));
    QMouseEvent move(QEvent::MouseMove, on_screen(to), viewport()->mapToGlobal(on_screen(to)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport(), &move);
    QTest::mouseRelease(viewport(), Qt::LeftButton, {}, on_screen(to));
  }
  void key(int k) { tab_->handle_edit_key(k); }
  void open(const QString& picture, const QString& labels = {}) {
    QVERIFY(QFile::copy(picture, dir_->filePath("scene.png")));
    test::write_text(dir_->filePath("classes.txt"), "cat\ndog\n");
    if (!labels.isEmpty()) test::write_text(dir_->filePath("scene.txt"), labels);
    tab_->open_folder(dir_->path());
    QVERIFY(test::settle_window_work());
    QVERIFY(!tab_->picture().empty());
  }
  void choose_mode(const QString& mode) {
    test::find<QComboBox>(*tab_, "combo_mode")->setCurrentText(mode);
    QVERIFY(test::settle_window_work());
  }
  void use_tiny_model() {
    prompts_->choices.push_back(0);  // "Pick a weights file"
    prompts_->open_files.push_back(QDir(kData).filePath("tiny-sam/sam.json"));
  }

 private slots:
  void init() {
    prompts_ = ScriptedPrompts::install();
    dir_ = std::make_unique<QTemporaryDir>();
    tab_ = std::make_unique<AnnotatorTab>();
    tab_->resize(1400, 900);
    tab_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab_.get()));
  }
  void cleanup() { tab_.reset(); }

  void clicks_build_an_outline_that_enter_accepts_as_one_edit() {
    open(QDir(kData).filePath("pictures/odd.png"));
    use_tiny_model();
    choose_mode("AI Polygon");
    QVERIFY(tab_->has_segment_model());
    click({250, 160});
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->segmenting().prompt().points.size(), size_t(1));
    QVERIFY(tab_->segmenting().proposal());
    QVERIFY(tab_->segmenting().proposal()->polygon.size() >= 3);
    // A right click and a Shift+click are negative; Backspace takes the last click back.
    click({60, 60}, Qt::RightButton);
    click({70, 300}, Qt::LeftButton, Qt::ShiftModifier);
    QVERIFY(test::settle_window_work());
    const auto& points = tab_->segmenting().prompt().points;
    QCOMPARE(points.size(), size_t(3));
    QVERIFY(points[0].positive && !points[1].positive && !points[2].positive);
    key(Qt::Key_Backspace);
    key(Qt::Key_Backspace);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->segmenting().prompt().points.size(), size_t(1));
    const QPolygonF proposed = tab_->segmenting().proposal()->polygon;
    // Enter: one shape of the class picked, as proposed; nothing else changed.
    test::find<QListWidget>(*tab_, "list_classes")->setCurrentRow(1);
    key(Qt::Key_Return);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
    QCOMPARE(tab_->shapes_on_screen()[0].shown.class_id, 1);
    QCOMPARE(tab_->shapes_on_screen()[0].shown.points.size(), proposed.size());
    QVERIFY(tab_->segmenting().prompt().empty());
    QVERIFY(test::read_text(dir_->filePath("scene.txt")).startsWith("1 "));
    // One undo step takes it back.
    tab_->undo();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 0);
    // Escape drops an outline without adding anything.
    click({250, 160});
    QVERIFY(test::settle_window_work());
    key(Qt::Key_Escape);
    QVERIFY(tab_->segmenting().prompt().empty());
    key(Qt::Key_Return);
    QCOMPARE(tab_->shapes_on_screen().size(), 0);
  }

  void weights_that_are_no_sam_model_are_refused() {
    open(QDir(kData).filePath("pictures/odd.png"));
    test::write_text(dir_->filePath("yolov8n.pt"), "not a SAM model");
    prompts_->choices.push_back(0);
    prompts_->open_files.push_back(dir_->filePath("yolov8n.pt"));
    choose_mode("AI Box");
    QVERIFY(!tab_->has_segment_model());
    QVERIFY(!prompts_->messages.isEmpty());
    QVERIFY2(prompts_->messages.last().text.contains("not a SAM-family weights file"),
             qPrintable(prompts_->messages.last().text));
    // Back in Select/Move: a click draws nothing and asks nothing.
    QCOMPARE(test::find<QComboBox>(*tab_, "combo_mode")->currentText(), QString("Select/Move"));
    // Cancelling the question leaves the mode too.
    choose_mode("AI Polygon");
    QCOMPARE(test::find<QComboBox>(*tab_, "combo_mode")->currentText(), QString("Select/Move"));
  }

  void a_rough_box_gives_a_box_in_a_box_folder() {
    open(QDir(kData).filePath("pictures/odd.png"), "0 0.2 0.2 0.1 0.1\n");
    use_tiny_model();
    choose_mode("AI Polygon");
    QVERIFY(tab_->has_segment_model());
    click({250, 160});
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->segmenting().proposal());
    // A double click accepts: in a box folder the polygon is saved as its box.
    QTest::mouseDClick(viewport(), Qt::LeftButton, {}, on_screen({250, 160}));
    QVERIFY(test::settle_window_work());
    if (tab_->segmenting().prompt().empty()) {
      QCOMPARE(tab_->shapes_on_screen().size(), 2);
      QVERIFY(tab_->shapes_on_screen()[1].shown.is_box());
    } else {  // the two clicks' outline had no pixels: nothing was added, and the user was told
      QCOMPARE(tab_->shapes_on_screen().size(), 1);
      key(Qt::Key_Escape);
    }
    // AI Box: a dragged box is the prompt; the answer is a box.
    choose_mode("AI Box");
    drag({150, 60}, {380, 290});
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->segmenting().prompt().box);
    QCOMPARE(tab_->segmenting().prompt().points.size(), size_t(0));
    const int before = tab_->shapes_on_screen().size();
    key(Qt::Key_Return);
    QVERIFY(test::settle_window_work());
    if (tab_->segmenting().proposal() && tab_->segmenting().proposal()->polygon.size() >= 3) return;
    QVERIFY(tab_->shapes_on_screen().size() == before + 1 || tab_->segmenting().proposal());
    if (tab_->shapes_on_screen().size() == before + 1) QVERIFY(tab_->shapes_on_screen()[before].shown.is_box());
  }

  void refine_box_needs_no_model() {
    // A striped object on grass: GrabCut finds it inside a loose box.
    cv::Mat scene(300, 400, CV_8UC3, cv::Scalar(40, 150, 60));
    cv::RNG rng(5);
    rng.fill(scene, cv::RNG::UNIFORM, cv::Scalar(30, 120, 40), cv::Scalar(60, 190, 90));
    cv::Mat1b object(scene.size(), uchar(0));
    cv::ellipse(object, {200, 150}, {90, 60}, 15, 0, 360, cv::Scalar(255), -1);
    cv::Mat stripes(scene.size(), CV_8UC3);
    for (int y = 0; y < stripes.rows; ++y)
      stripes.row(y).setTo((y / 6) % 2 ? cv::Scalar(30, 60, 210) : cv::Scalar(40, 140, 240));
    stripes.copyTo(scene, object);
    const QString picture = dir_->filePath("drawn.png");
    QVERIFY(cv::imwrite(picture.toStdString(), scene));
    open(picture);
    choose_mode("Refine Box");
    QVERIFY(prompts_->messages.isEmpty());  // no model is asked for
    drag({90, 60}, {310, 240});
    QVERIFY(test::settle_window_work());
    QVERIFY(tab_->segmenting().proposal());
    const QRectF tight = tab_->segmenting().proposal()->box;
    const cv::Rect truth = cv::boundingRect(object);
    QVERIFY2(std::abs(tight.left() - truth.x) < 6 && std::abs(tight.right() - truth.br().x) < 6,
             qPrintable(QString("%1..%2").arg(tight.left()).arg(tight.right())));
    test::find<QListWidget>(*tab_, "list_classes")->setCurrentRow(0);
    key(Qt::Key_Return);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab_->shapes_on_screen().size(), 1);
    QVERIFY(!tab_->shapes_on_screen()[0].shown.is_box());  // a polygon, in a folder of polygons
  }
};

QTEST_MAIN(TestClickSegment)
#include "test_click_segment.moc"

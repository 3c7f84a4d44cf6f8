#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include "annotate/annotator_tab.h"
#include "app/app_icon.h"
#include "app/quorlan_studio.h"
#include "shell/theme.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

class TestApp : public QObject {
  Q_OBJECT
  ScriptedPrompts* prompts_ = nullptr;

 private slots:
  void init() { prompts_ = ScriptedPrompts::install(); }

  void window_title_size_and_tabs() {
    QuorlanStudio window;
    QCOMPARE(window.windowTitle(), QString("Quorlan Studio - Deep Learning Workstation"));
    QCOMPARE(window.size(), QSize(1500, 950));
    const QStringList expected = {"Image Resizer + Compressor",  "Image Splitter",
                                  "Synthetic Data Enricher",     "Image Annotator",
                                  "YOLO Configuration & AutoML", "Training Analytics & Live Logs",
                                  "Inference & Model Export"};
    QCOMPARE(window.tabs->count(), 7);
    QCOMPARE(window.tabs->widget(3), static_cast<QWidget*>(window.tab_workspace));
    for (int i = 0; i < 7; ++i) {
      // Qt shows "&&" as one ampersand; the bar's accessible text is the shown one.
      QString shown = window.tabs->tabText(i);
      shown.replace("&&", "&");
      QCOMPARE(shown, expected[i]);
      QVERIFY(!shown.contains("&&"));
    }
  }

  void corner_holds_guide_then_switch() {
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget* corner = window.tabs->cornerWidget(Qt::TopRightCorner);
    QVERIFY(corner);
    auto* guide = corner->findChild<QPushButton*>("btn_guide");
    QVERIFY(guide);
    QCOMPARE(guide->text(), QString("ℹ"));
    QCOMPARE(guide->size(), QSize(28, 28));
    QVERIFY(window.theme_toggle->isChecked());
    QCOMPARE(window.theme_toggle->parentWidget(), corner);
    QVERIFY(guide->geometry().right() < window.theme_toggle->geometry().left());
    auto* layout = qobject_cast<QHBoxLayout*>(corner->layout());
    QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 15, 8));
  }

  void theme_switch_restores_the_first_sheet() {
    QuorlanStudio window;
    const QString first = qApp->styleSheet();
    QCOMPARE(first, get_stylesheet(true));
    window.theme_toggle->click();
    QVERIFY(!window.is_dark_mode);
    QCOMPARE(qApp->styleSheet(), get_stylesheet(false));
    window.theme_toggle->click();
    QVERIFY(window.is_dark_mode);
    QCOMPARE(qApp->styleSheet(), first);
  }

  // Views the sheet does not name (the file dialog's folder list) take the theme's colours too:
  // readable text on its own background in both themes.
  void unstyled_views_follow_the_theme() {
    QuorlanStudio window;
    for (const bool dark : {true, false}) {
      if (window.is_dark_mode != dark) window.theme_toggle->click();
      QFileDialog dialog;
      dialog.setOption(QFileDialog::DontUseNativeDialog);
      dialog.ensurePolished();
      QTreeView* list = dialog.findChild<QTreeView*>();
      QVERIFY(list);
      list->ensurePolished();
      const QColor base = list->palette().color(QPalette::Base), text = list->palette().color(QPalette::Text);
      QVERIFY2(std::abs(base.lightness() - text.lightness()) > 120,
               qPrintable(QString("%1 on %2").arg(text.name(), base.name())));
      QCOMPARE(base.lightness() < 128, dark);
    }
  }

  void guide_opens_a_new_dialog_each_time() {
    QuorlanStudio window;
    QList<QDialog*> seen;
    QList<QWidget*> parents;
    QStringList texts;
    for (int i = 0; i < 2; ++i)
      prompts_->dialogs.push_back([&](QDialog& d) -> int {
        seen << &d;
        parents << d.parentWidget();
        texts << d.findChild<QLabel*>("guide_text")->text();
        return QDialog::Accepted;
      });
    auto* guide = window.findChild<QPushButton*>("btn_guide");
    guide->click();
    guide->click();
    QCOMPARE(prompts_->dialog_titles, QStringList({"Quorlan Studio - User Guide", "Quorlan Studio - User Guide"}));
    QCOMPARE(seen.size(), 2);
    QCOMPARE(parents, QList<QWidget*>({&window, &window}));
    QCOMPARE(texts[0], texts[1]);
    QCOMPARE(texts[0].count("📌"), 7);
    QVERIFY(window.findChildren<QDialog*>().isEmpty());  // discarded after use
  }

  void the_keyboard_reaches_everything() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 400, 300);
    QuorlanStudio window;
    window.resize(1400, 900);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    AnnotatorTab* ann = window.tab_workspace;
    window.tabs->setCurrentWidget(ann);
    ann->open_folder(dir.path());
    for (int i = 0; i < 3; ++i) ann->add_annotation(QPolygonF({{10.0 + i, 10}, {80, 10}, {80, 80}}), "cat", "Polygon");
    for (const auto& record : ann->annotations) record.item->setFlag(QGraphicsItem::ItemIsFocusable);

    // Tab leaves the picture after a few steps instead of walking its shapes for ever.
    ann->canvas_view->setFocus();
    bool left = false;
    for (int i = 0; i < 6 && !left; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      left = !ann->canvas_view->isAncestorOf(QApplication::focusWidget()) &&
             QApplication::focusWidget() != ann->canvas_view;
    }
    QVERIFY(left);

    // Zoom, fit and relabel from the keys.
    ann->canvas_view->setFocus();
    const double fitted = ann->canvas_view->transform().m11();
    QTest::keyClick(ann->canvas_view, Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(ann->canvas_view->transform().m11() > fitted * 1.2);
    QTest::keyClick(ann->canvas_view, Qt::Key_Minus, Qt::ControlModifier);
    QTest::keyClick(ann->canvas_view, Qt::Key_Equal, Qt::ControlModifier);
    QTest::keyClick(ann->canvas_view, Qt::Key_Equal, Qt::ControlModifier);
    QVERIFY(ann->canvas_view->transform().m11() > fitted * 1.2);
    QTest::keyClick(ann->canvas_view, Qt::Key_F);
    QVERIFY(qAbs(ann->canvas_view->transform().m11() - fitted) < 1e-9);
    QTest::keyClick(ann->canvas_view, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(ann->canvas_view, Qt::Key_0, Qt::ControlModifier);
    QVERIFY(qAbs(ann->canvas_view->transform().m11() - fitted) < 1e-9);
    ann->annotations[1].item->setSelected(true);
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_F2}) {
      prompts_->dialogs.push_back(test::answer_label("dog"));
      QTest::keyClick(ann->canvas_view, key);
    }
    QCOMPARE(prompts_->dialog_titles, QStringList({"Assign Target Class", "Assign Target Class"}));
    QCOMPARE(ann->annotations[1].label, QString("dog"));

    // In a number field the keys are the field's; Escape gives them back to the picture.
    ann->spin_ai_conf->setFocus();
    QTest::keyClick(ann->spin_ai_conf, Qt::Key_F);
    QTest::keyClick(ann->spin_ai_conf, Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(qAbs(ann->canvas_view->transform().m11() - fitted) < 1e-9);
    QTest::keyClick(ann->spin_ai_conf, Qt::Key_Escape);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(ann->canvas_view));
    ann->spin_ai_conf->setFocus();
    QTest::keyClick(ann->spin_ai_conf, Qt::Key_Return);  // a value entered: the keys go back too
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(ann->canvas_view));
  }

  void delete_keys_act_on_the_highlighted_shapes_of_the_shown_annotator() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 100, 80);
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    AnnotatorTab* ann = window.tab_workspace;
    ann->open_folder(dir.path());
    for (int i = 0; i < 4; ++i) ann->add_annotation(QPolygonF({{10.0 + i, 10}, {50, 10}, {50, 50}}), "cat", "Polygon");
    QCOMPARE(ann->annotations.size(), 4);
    window.tabs->setCurrentWidget(ann);
    window.tabs->tabBar()->setFocus();

    // A current table row but nothing highlighted: the keys change nothing.
    ann->table_objects->setCurrentCell(0, 0);
    ann->canvas->clearSelection();
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Delete);
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Backspace);
    QCOMPARE(ann->annotations.size(), 4);

    // On another tab the keys belong to that tab.
    ann->annotations[0].item->setSelected(true);
    window.tabs->setCurrentIndex(0);
    window.tabs->tabBar()->setFocus();
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Delete);
    QCOMPARE(ann->annotations.size(), 4);

    // In a text field the keys edit the text.
    window.tabs->setCurrentWidget(ann);
    ann->spin_ai_conf->setFocus();
    QTest::keyClick(ann->spin_ai_conf, Qt::Key_Backspace);
    QCOMPARE(ann->annotations.size(), 4);

    // Every highlighted shape goes, and only those.
    ann->annotations[2].item->setSelected(true);
    QGraphicsPolygonItem* survivor = ann->annotations[1].item;
    window.tabs->tabBar()->setFocus();
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Delete);
    QCOMPARE(ann->annotations.size(), 2);
    QCOMPARE(ann->annotations[0].item, survivor);
    QCOMPARE(ann->table_objects->rowCount(), 2);
    QCOMPARE(test::read_text(dir.filePath("a.txt")).count('\n'), 2);

    // While a polygon is drawn, Backspace takes its last point and Escape cancels it.
    ann->canvas->clearSelection();
    ann->annotations[0].item->setSelected(true);
    ann->canvas->current_polygon = {{1, 1}, {20, 1}, {20, 20}};
    ann->canvas->drawing = true;
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Backspace);
    QCOMPARE(ann->canvas->current_polygon.size(), 2);
    QCOMPARE(ann->annotations.size(), 2);
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Escape);
    QVERIFY(ann->canvas->current_polygon.isEmpty());
    QCOMPARE(ann->annotations.size(), 2);
  }

  void closing_the_window_saves_the_current_shapes() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 100, 100);
    QuorlanStudio window;
    window.show();
    window.tab_workspace->open_folder(dir.path());
    window.tab_workspace->add_annotation(QPolygonF({{10, 10}, {50, 10}, {50, 50}}), "cat", "Polygon");
    window.tab_workspace->annotations[0].item->setPos(10, 0);
    emit window.tab_workspace->canvas->items_moved_signal();
    window.close();
    QCOMPARE(test::read_text(dir.filePath("a.txt")),
             QString("0 0.200000 0.100000 0.600000 0.100000 0.600000 0.500000\n"));
  }

  void dataset_buttons_save_the_shapes_first() {
    QTemporaryDir dir, out;
    test::write_image(dir.filePath("a.png"), 100, 100);
    QuorlanStudio window;
    AnnotatorTab* ann = window.tab_workspace;
    ann->open_folder(dir.path());
    ann->add_annotation(QPolygonF({{10, 10}, {50, 10}, {50, 50}}), "cat", "Polygon");
    ann->annotations[0].item->setPos(10, 0);
    emit ann->canvas->items_moved_signal();
    prompts_->dialogs.push_back([](QDialog& d) -> int {
      d.findChild<QComboBox*>("fc")->setCurrentIndex(1);
      return QDialog::Accepted;
    });
    prompts_->directories.push_back(out.path());
    ann->btn_split_export->click();
    QCOMPARE(prompts_->dialog_titles, QStringList({"Dataset Train/Val/Test Splitter"}));
    QString exported;
    for (const char* set : {"train", "val", "test"})
      if (QFileInfo::exists(out.filePath(QString(set) + "/labels/a.txt")))
        exported = test::read_text(out.filePath(QString(set) + "/labels/a.txt"));
    QCOMPARE(exported, QString("0 0.200000 0.100000 0.600000 0.100000 0.600000 0.500000\n"));
    QCOMPARE(prompts_->messages.last().title, QString("Export Complete"));

    ann->btn_health_check->click();
    QCOMPARE(prompts_->messages.last().title, QString("Health Check"));
    QVERIFY(prompts_->messages.last().text.contains("Unannotated Images: 0\n"));
    prompts_->dialogs.push_back([](QDialog&) -> int { return QDialog::Rejected; });
    ann->btn_analytics->click();
    QCOMPARE(prompts_->dialog_titles.last(), QString("Dataset Class Distribution"));
  }

  void missing_icon_is_silent() {
    QTemporaryDir empty;
    QVERIFY(load_app_icon(empty.path()).isNull());
    QTemporaryDir with_icon;
    test::write_image(with_icon.filePath("Quorlan-Studio-icon.png"), 32, 32);
    QVERIFY(!load_app_icon(with_icon.path()).isNull());
    QVERIFY(prompts_->messages.isEmpty());
  }

  void every_tab_title_fits_the_default_window() {
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTabBar* bar = window.tabs->tabBar();
    const int titles = bar->sizeHint().width();  // every tab at its full width
    const int corner = window.tabs->cornerWidget(Qt::TopRightCorner)->sizeHint().width();
    qInfo("tab titles %d px + corner %d px in a window of %d px", titles, corner, window.tabs->width());
    QVERIFY(titles + corner <= window.tabs->width());
    for (QToolButton* arrow : bar->findChildren<QToolButton*>()) QVERIFY(!arrow->isVisible());  // no scroll arrows
  }
};

QTEST_MAIN(TestApp)
#include "test_app.moc"

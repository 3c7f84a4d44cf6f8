#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
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
#include "core/class_colours.h"
#include "shell/theme.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/settings_store.h"
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
    QVERIFY(test::settle_window_work());
    for (int i = 0; i < 3; ++i) ann->add_annotation(QPolygonF({{10.0 + i, 10}, {80, 10}, {80, 80}}), "cat", "Polygon");
    for (const auto& record : ann->shapes_on_screen()) record.item->setFlag(QGraphicsItem::ItemIsFocusable);

    // Tab leaves the picture after a few steps instead of walking its shapes for ever.
    test::find<ZoomableView>(*ann, "canvas_view")->setFocus();
    bool left = false;
    for (int i = 0; i < 6 && !left; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QVERIFY(test::settle_window_work());
      left = !test::find<ZoomableView>(*ann, "canvas_view")->isAncestorOf(QApplication::focusWidget()) &&
             QApplication::focusWidget() != test::find<ZoomableView>(*ann, "canvas_view");
    }
    QVERIFY(left);

    // Zoom, fit and relabel from the keys.
    test::find<ZoomableView>(*ann, "canvas_view")->setFocus();
    const double fitted = test::find<ZoomableView>(*ann, "canvas_view")->transform().m11();
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<ZoomableView>(*ann, "canvas_view")->transform().m11() > fitted * 1.2);
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_Minus, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_Equal, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_Equal, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<ZoomableView>(*ann, "canvas_view")->transform().m11() > fitted * 1.2);
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_F);
    QVERIFY(test::settle_window_work());
    QVERIFY(qAbs(test::find<ZoomableView>(*ann, "canvas_view")->transform().m11() - fitted) < 1e-9);
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_0, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QVERIFY(qAbs(test::find<ZoomableView>(*ann, "canvas_view")->transform().m11() - fitted) < 1e-9);
    ann->shapes_on_screen()[1].item->setSelected(true);
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_F2}) {
      prompts_->dialogs.push_back(test::answer_label("dog"));
      QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), key);
      QVERIFY(test::settle_window_work());
    }
    QCOMPARE(prompts_->dialog_titles, QStringList({"Assign Target Class", "Assign Target Class"}));
    QCOMPARE(ann->shapes_on_screen()[1].label, QString("dog"));

    // In a number field the keys are the field's; Escape gives them back to the picture.
    test::find<QDoubleSpinBox>(*ann, "spin_ai_conf")->setFocus();
    QTest::keyClick(test::find<QDoubleSpinBox>(*ann, "spin_ai_conf"), Qt::Key_F);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(test::find<QDoubleSpinBox>(*ann, "spin_ai_conf"), Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QVERIFY(qAbs(test::find<ZoomableView>(*ann, "canvas_view")->transform().m11() - fitted) < 1e-9);
    QTest::keyClick(test::find<QDoubleSpinBox>(*ann, "spin_ai_conf"), Qt::Key_Escape);
    QVERIFY(test::settle_window_work());
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(test::find<ZoomableView>(*ann, "canvas_view")));
    test::find<QDoubleSpinBox>(*ann, "spin_ai_conf")->setFocus();
    QTest::keyClick(test::find<QDoubleSpinBox>(*ann, "spin_ai_conf"),
                    Qt::Key_Return);  // a value entered: the keys go back too
    QVERIFY(test::settle_window_work());
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(test::find<ZoomableView>(*ann, "canvas_view")));

    // The side panels fold away and come back from the keys; the picture takes their room.
    const int picture = test::find<QSplitter>(*ann, "annotator_panels")->sizes()[1];
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_BracketLeft, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_BracketRight, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[0], 0);
    QCOMPARE(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[2], 0);
    QVERIFY(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[1] > picture + 500);
    QCOMPARE(test::find<QPushButton>(*ann, "btn_toggle_left")->text(), QString("▶"));
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_BracketLeft, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[0], AnnotatorTab::kLeftPanelWidth);
    // Ctrl+O asks for a folder.
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_O, Qt::ControlModifier);
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->asked_titles.last(), QString("Select Image Directory"));
  }

  void delete_keys_act_on_the_highlighted_shapes_of_the_shown_annotator() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 100, 80);
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    AnnotatorTab* ann = window.tab_workspace;
    ann->open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    for (int i = 0; i < 4; ++i) ann->add_annotation(QPolygonF({{10.0 + i, 10}, {50, 10}, {50, 50}}), "cat", "Polygon");
    QCOMPARE(ann->shapes_on_screen().size(), 4);
    window.tabs->setCurrentWidget(ann);
    window.tabs->tabBar()->setFocus();

    // A current table row but nothing highlighted: the keys change nothing.
    test::find<QTableWidget>(*ann, "table_objects")->setCurrentCell(0, 0);
    test::find<InteractiveCanvas>(*ann, "canvas")->clearSelection();
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Backspace);
    QVERIFY(test::settle_window_work());
    QCOMPARE(ann->shapes_on_screen().size(), 4);

    // On another tab the keys belong to that tab.
    ann->shapes_on_screen()[0].item->setSelected(true);
    window.tabs->setCurrentIndex(0);
    window.tabs->tabBar()->setFocus();
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QCOMPARE(ann->shapes_on_screen().size(), 4);

    // In a text field the keys edit the text.
    window.tabs->setCurrentWidget(ann);
    test::find<QDoubleSpinBox>(*ann, "spin_ai_conf")->setFocus();
    QTest::keyClick(test::find<QDoubleSpinBox>(*ann, "spin_ai_conf"), Qt::Key_Backspace);
    QVERIFY(test::settle_window_work());
    QCOMPARE(ann->shapes_on_screen().size(), 4);

    // Every highlighted shape goes, and only those.
    ann->shapes_on_screen()[2].item->setSelected(true);
    QGraphicsPolygonItem* survivor = ann->shapes_on_screen()[1].item;
    window.tabs->tabBar()->setFocus();
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Delete);
    QVERIFY(test::settle_window_work());
    QCOMPARE(ann->shapes_on_screen().size(), 2);
    QCOMPARE(ann->shapes_on_screen()[0].item, survivor);
    QCOMPARE(test::find<QTableWidget>(*ann, "table_objects")->rowCount(), 2);
    QCOMPARE(test::read_text(dir.filePath("a.txt")).count('\n'), 2);

    // While a polygon is drawn, Backspace takes its last point and Escape cancels it.
    test::find<InteractiveCanvas>(*ann, "canvas")->clearSelection();
    ann->shapes_on_screen()[0].item->setSelected(true);
    test::find<InteractiveCanvas>(*ann, "canvas")->current_polygon = {{1, 1}, {20, 1}, {20, 20}};
    test::find<InteractiveCanvas>(*ann, "canvas")->drawing = true;
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Backspace);
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::find<InteractiveCanvas>(*ann, "canvas")->current_polygon.size(), 2);
    QCOMPARE(ann->shapes_on_screen().size(), 2);
    QTest::keyClick(window.tabs->tabBar(), Qt::Key_Escape);
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<InteractiveCanvas>(*ann, "canvas")->current_polygon.isEmpty());
    QCOMPARE(ann->shapes_on_screen().size(), 2);
  }

  void closing_the_window_saves_the_current_shapes() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 100, 100);
    QuorlanStudio window;
    window.show();
    window.tab_workspace->open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    window.tab_workspace->add_annotation(QPolygonF({{10, 10}, {50, 10}, {50, 50}}), "cat", "Polygon");
    window.tab_workspace->shapes_on_screen()[0].item->setPos(10, 0);
    emit test::find<InteractiveCanvas>(*window.tab_workspace, "canvas")->items_moved_signal();
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
    QVERIFY(test::settle_window_work());
    ann->add_annotation(QPolygonF({{10, 10}, {50, 10}, {50, 50}}), "cat", "Polygon");
    ann->shapes_on_screen()[0].item->setPos(10, 0);
    emit test::find<InteractiveCanvas>(*ann, "canvas")->items_moved_signal();
    prompts_->dialogs.push_back([](QDialog& d) -> int {
      d.findChild<QComboBox*>("fc")->setCurrentIndex(1);
      return QDialog::Accepted;
    });
    prompts_->directories.push_back(out.path());
    test::find<QPushButton>(*ann, "primaryBtn")->click();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->dialog_titles, QStringList({"Dataset Train/Val/Test Splitter"}));
    QString exported;
    for (const char* set : {"train", "val", "test"})
      if (QFileInfo::exists(out.filePath(QString(set) + "/labels/a.txt")))
        exported = test::read_text(out.filePath(QString(set) + "/labels/a.txt"));
    QCOMPARE(exported, QString("0 0.200000 0.100000 0.600000 0.100000 0.600000 0.500000\n"));
    QCOMPARE(prompts_->messages.last().title, QString("Export Complete"));

    test::find<QPushButton>(*ann, "btn_health_check")->click();
    QVERIFY(test::settle_window_work());
    QCOMPARE(prompts_->messages.last().title, QString("Health Check"));
    QVERIFY(prompts_->messages.last().text.contains("Unannotated Images: 0\n"));
    prompts_->dialogs.push_back([](QDialog&) -> int { return QDialog::Rejected; });
    test::find<QPushButton>(*ann, "btn_analytics")->click();
    QVERIFY(test::settle_window_work());
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

  // The window opens inside the screen's free area, and every tab's least size fits in it (long
  // forms scroll, the annotator's panels fold).
  void the_window_fits_the_screen() {
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
    qInfo("screen %dx%d, window %dx%d, least %dx%d", room.width(), room.height(), window.width(), window.height(),
          window.minimumSizeHint().width(), window.minimumSizeHint().height());
    QVERIFY(window.width() <= room.width() && window.height() + 32 <= room.height());
    QVERIFY(window.minimumSizeHint().width() <= room.width());
    QVERIFY(window.minimumSizeHint().height() + 32 <= room.height());
    for (int i = 0; i < window.tabs->count(); ++i) {
      const QSize least = window.tabs->widget(i)->minimumSizeHint();
      QVERIFY2(least.width() <= window.tabs->width() && least.height() <= window.tabs->height() - 40,
               qPrintable(window.tabs->tabText(i)));
    }
  }

  // What is remembered comes back in a new window; a first start shows the defaults; "Reset
  // Layout" in the guide puts the layout back without forgetting the folders.
  void settings_round_trip_and_reset() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 60, 40);
    test::write_image(dir.filePath("b.png"), 60, 40);
    const QString file = dir.filePath("settings.ini");
    install_settings_store(std::make_unique<QSettings>(file, QSettings::IniFormat));
    {
      QuorlanStudio first;
      QCOMPARE(first.tabs->currentIndex(), 0);
      QVERIFY(first.is_dark_mode);
      QCOMPARE(class_palette(), ClassPalette::Standard);
      QVERIFY(first.tab_workspace->queue().folder().isEmpty());
      QCOMPARE(first.size(), QuorlanStudio::default_window_size());
      first.show();
      first.tabs->setCurrentWidget(first.tab_workspace);
      first.tab_workspace->open_folder(dir.path());
      QVERIFY(test::settle_window_work());
      first.tab_workspace->jump_to_image(1);
      QVERIFY(test::settle_window_work());
      first.tab_workspace->toggle_panel(0);
      first.theme_toggle->setChecked(false);
      first.set_palette(ClassPalette::ColourBlindSafe);
      first.findChild<QLineEdit*>("entry_inf_weights")->setText(dir.filePath("best.pt"));
      first.resize(1200, 800);
      QVERIFY(first.close());
    }
    set_class_palette(ClassPalette::Standard);
    QuorlanStudio second;
    QVERIFY(test::settle_window_work());  // the remembered picture is decoded beside the window
    QCOMPARE(second.tabs->currentWidget(), static_cast<QWidget*>(second.tab_workspace));
    QVERIFY(!second.is_dark_mode);
    QCOMPARE(class_palette(), ClassPalette::ColourBlindSafe);
    QCOMPARE(second.tab_workspace->queue().folder(), dir.path());
    QCOMPARE(second.tab_workspace->queue().current(), 1);
    QCOMPARE(test::find<QSplitter>(*second.tab_workspace, "annotator_panels")->sizes().first(), 0);
    QCOMPARE(second.findChild<QLineEdit*>("entry_inf_weights")->text(), dir.filePath("best.pt"));
    QCOMPARE(second.size(), QSize(1200, 800));
    prompts_->dialogs.push_back([](QDialog& guide) {
      guide.findChild<QPushButton*>("btn_reset_layout")->click();
      return int(QDialog::Accepted);
    });
    second.findChild<QPushButton*>("btn_guide")->click();
    QVERIFY(test::settle_window_work());
    QCOMPARE(second.tabs->currentIndex(), 0);
    QCOMPARE(test::find<QSplitter>(*second.tab_workspace, "annotator_panels")->sizes().first(),
             AnnotatorTab::kLeftPanelWidth);
    QCOMPARE(second.size(), QuorlanStudio::default_window_size());
    QCOMPARE(second.tab_workspace->queue().folder(), dir.path());  // the folders stay
    install_settings_store(nullptr);
    set_class_palette(ClassPalette::Standard);
    QVERIFY(!QSettings(file, QSettings::IniFormat).contains("window/geometry"));

    // A settings file of garbage is moved aside whole, and said so; a sound one is read as it is.
    const OpenedSettings sound = open_settings_file(file);
    QVERIFY(sound.store->contains("annotator/folder"));
    QVERIFY(sound.problem.isEmpty());
    QByteArray garbage;
    for (int i = 0; i < 512; ++i) garbage += static_cast<char>((i * 2654435761u) >> 13);
    test::write_bytes(file, garbage);
    const OpenedSettings fresh = open_settings_file(file);
    QVERIFY2(fresh.problem.contains("could not be read; the studio starts with its defaults"),
             qPrintable(fresh.problem));
    QVERIFY(fresh.store && fresh.store->allKeys().isEmpty());
    const QStringList aside = QDir(dir.path()).entryList({"settings.ini.unreadable-*"});
    QCOMPARE(aside.size(), 1);
    QCOMPARE(test::read_bytes(dir.filePath(aside[0])), garbage);
  }

  // Class names stay readable: on the light theme each is at least 4.5 : 1 against the list.
  void class_names_are_readable_on_both_themes() {
    QTemporaryDir dir;
    test::write_image(dir.filePath("a.png"), 60, 40);
    QStringList names;
    for (int i = 0; i < 10; ++i) names << QStringLiteral("class%1").arg(i);
    test::write_text(dir.filePath("classes.txt"), names.join('\n') + '\n');
    QuorlanStudio window;
    window.tab_workspace->open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    for (const bool dark : {false, true}) {
      window.apply_theme(dark);
      for (const ClassPalette palette : {ClassPalette::Standard, ClassPalette::ColourBlindSafe}) {
        window.set_palette(palette);
        const QColor background = QApplication::palette().color(QPalette::Base);
        QCOMPARE(background, QColor(dark ? "#1A1A1E" : "#FFFFFF"));
        QListWidget* list = test::find<QListWidget>(*window.tab_workspace, "list_classes");
        QCOMPARE(list->count(), 10);
        for (int i = 0; i < list->count(); ++i) {
          const QColor text = list->item(i)->foreground().color();
          QVERIFY2(contrast_ratio(text, background) >= 4.5, qPrintable(list->item(i)->text()));
        }
      }
    }
    set_class_palette(ClassPalette::Standard);
    // The light theme's green is darkened only as far as needed; the shapes keep their colour.
    const QColor green = readable_on(QColor("#00FF00"), Qt::white);
    QVERIFY(contrast_ratio(green, Qt::white) >= 4.5 && contrast_ratio(green, Qt::white) < 4.8);
    QCOMPARE(class_colour(0), QColor("#00FF00"));
    QCOMPARE(readable_on(QColor("#0000FF"), Qt::white), QColor("#0000FF"));
  }

  // A day in the annotator on this screen: the picture fitted when shown and as the window
  // changes size (until a zoom), the everyday controls in sight and uncut, the panels giving way
  // to the picture in a narrow window.
  void the_annotator_fits_the_screen() {
    QTemporaryDir dir;
    for (int i = 0; i < 3; ++i) test::write_image(dir.filePath(QStringLiteral("p%1.png").arg(i)), 1280, 960);
    test::write_text(dir.filePath("classes.txt"), "car\nperson\nbike\n");
    QuorlanStudio window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    AnnotatorTab* ann = window.tab_workspace;
    window.tabs->setCurrentWidget(ann);
    ann->open_folder(dir.path());
    QVERIFY(test::settle_window_work());
    const auto fitted = [ann] {
      const QRectF shown = test::find<ZoomableView>(*ann, "canvas_view")
                               ->mapFromScene(test::find<InteractiveCanvas>(*ann, "canvas")->sceneRect())
                               .boundingRect();
      const QRect room = test::find<ZoomableView>(*ann, "canvas_view")->viewport()->rect();
      // Inside the view, and filling it one way or the other.
      return room.adjusted(-2, -2, 2, 2).contains(shown.toRect()) &&
             (shown.width() >= room.width() - 6 || shown.height() >= room.height() - 6);
    };
    QTRY_VERIFY(fitted());
    auto* scroll = ann->findChild<QScrollArea*>("right_scroll");
    const QRect room = scroll->viewport()->rect();
    for (QWidget* everyday : std::initializer_list<QWidget*>{
             test::find<QComboBox>(*ann, "combo_mode"), test::find<QPushButton>(*ann, "btn_label_kind"),
             test::find<QPushButton>(*ann, "btn_undo"), test::find<QPushButton>(*ann, "btn_redo"),
             test::find<QTableWidget>(*ann, "table_objects"), test::find<QPushButton>(*ann, "btn_delete_obj"),
             test::find<QPushButton>(*ann, "btn_confirm_empty"), test::find<QPushButton>(*ann, "btn_save_ann"),
             test::find<QListWidget>(*ann, "list_classes"), test::find<QPushButton>(*ann, "btn_class_rename"),
             test::find<QPushButton>(*ann, "btn_class_merge"), test::find<QPushButton>(*ann, "btn_class_delete"),
             test::find<QPushButton>(*ann, "btn_class_undo")}) {
      const QRect at(everyday->mapTo(scroll->viewport(), QPoint()), everyday->size());
      QVERIFY2(room.contains(at), qPrintable(QStringLiteral("%1 at %2,%3 %4x%5 in %6x%7")
                                                 .arg(everyday->objectName())
                                                 .arg(at.x())
                                                 .arg(at.y())
                                                 .arg(at.width())
                                                 .arg(at.height())
                                                 .arg(room.width())
                                                 .arg(room.height())));
    }

    window.resize(window.width() - 200, window.height() - 100);  // the view changes size: fitted again
    QTRY_VERIFY(fitted());
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_Plus,
                    Qt::ControlModifier);  // a zoom is kept
    QVERIFY(test::settle_window_work());
    const double zoomed = test::find<ZoomableView>(*ann, "canvas_view")->transform().m11();
    window.resize(window.width() + 100, window.height());
    QTest::qWait(50);
    QCOMPARE(test::find<ZoomableView>(*ann, "canvas_view")->transform().m11(), zoomed);
    QTest::keyClick(test::find<ZoomableView>(*ann, "canvas_view"), Qt::Key_F);
    QVERIFY(test::settle_window_work());
    ann->next_image();  // each picture shown is fitted
    QVERIFY(test::settle_window_work());
    QTRY_VERIFY(fitted());

    window.resize(900, window.height());  // narrow: the picture keeps half, the queue folds last
    QTRY_VERIFY(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[1] >=
                test::find<QSplitter>(*ann, "annotator_panels")->width() / 2 - 8);
    QVERIFY(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[2] > 0);
    window.resize(QuorlanStudio::default_window_size());
    QTRY_VERIFY(test::find<QSplitter>(*ann, "annotator_panels")->sizes()[0] >
                0);  // folded for room, back with the room
  }

  // A remembered window size no screen here holds is not taken; a remembered folder that is gone
  // is said once.
  void a_remembered_place_that_does_not_fit_is_not_taken() {
    QTemporaryDir dir;
    const QString file = dir.filePath("settings.ini");
    {
      QSettings settings(file, QSettings::IniFormat);
      QWidget elsewhere;  // a window on a far larger screen, far to the right
      elsewhere.setGeometry(3000, 200, 2400, 1400);
      settings.setValue("window/geometry", elsewhere.saveGeometry());
      settings.setValue("annotator/folder", dir.filePath("gone"));
    }
    install_settings_store(std::make_unique<QSettings>(file, QSettings::IniFormat));
    {
      QuorlanStudio window;
      QCOMPARE(window.size(), QuorlanStudio::default_window_size());
      const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
      QVERIFY(screen.contains(window.geometry()));
      QVERIFY2(window.statusBar()->currentMessage().contains("is not there any more"),
               qPrintable(window.statusBar()->currentMessage()));
      QVERIFY(window.close());
    }
    QuorlanStudio again;
    QVERIFY(again.statusBar()->currentMessage().isEmpty());
    install_settings_store(nullptr);
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

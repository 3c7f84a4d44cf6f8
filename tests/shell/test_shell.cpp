#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTextDocument>
#include <QtTest>

#include "core/constants.h"
#include "shell/annotator_keys.h"
#include "shell/help_dialog.h"
#include "shell/theme.h"

using namespace quorlan;

class TestShell : public QObject {
  Q_OBJECT

  static QString rule(const QString& sheet, const QString& selector) {
    for (const QString& line : sheet.split('\n'))
      if (line.startsWith(selector + " {")) return line;
    return {};
  }

 private slots:
  void stylesheet_has_27_rules_in_order() {
    const QStringList rules = get_stylesheet(true).split('\n', Qt::SkipEmptyParts);
    // The 27 rules of the studio's look, then the rules for disabled accent buttons and spin box arrows.
    QCOMPARE(rules.size(), 36);
    QVERIFY(get_stylesheet(true).contains("url(:/icons/arrow-up-light.png)"));
    QVERIFY(get_stylesheet(false).contains("url(:/icons/arrow-down-dark.png)"));
    QVERIFY(!QPixmap(":/icons/arrow-up-light.png").isNull());
    QVERIFY(rules.first().startsWith("QMainWindow, QDialog, QMessageBox { background-color: #121214;"));
    QVERIFY(rules[26].startsWith("QTableWidget::item:selected, QListWidget::item:selected"));
    QVERIFY(rules[27].startsWith("QPushButton#primaryBtn:disabled, QPushButton#dangerBtn:disabled"));
    QVERIFY(rules.last().startsWith("QSpinBox::down-arrow:disabled"));
    QVERIFY(!get_stylesheet(true).contains('{' + QString("bg") + '}'));
    QVERIFY(!get_stylesheet(false).contains(QRegularExpression("\\{[a-z_]+\\}")));
  }

  void light_sheet_holds_no_dark_only_colour() {
    const QStringList dark = {"#121214", "#1A1A1E", "#222226", "#18181C", "#ECECEE",
                              "#8E8E93", "#2D2D32", "#0A0A0C", "#6366F1", "#4F46E5"};
    const QStringList light = {"#FAFAFA", "#FFFFFF", "#F1F1F4", "#E5E5EA", "#1C1C1E",
                               "#6C6C70", "#D1D1D6", "#F2F2F7", "#4F46E5", "#4338CA"};
    const QString sheet = get_stylesheet(false);
    for (const QString& colour : dark)
      if (!light.contains(colour)) QVERIFY2(!sheet.contains(colour), qPrintable(colour));
    QVERIFY(sheet.contains("#4F46E5"));  // the light accent is the dark accent's hover
  }

  void accent_buttons() {
    QVERIFY(rule(get_stylesheet(true), "QPushButton#primaryBtn").contains("background-color: #6366F1"));
    QVERIFY(rule(get_stylesheet(false), "QPushButton#primaryBtn").contains("background-color: #4F46E5"));
    QVERIFY(rule(get_stylesheet(true), "QPushButton#primaryBtn:hover").contains("#4F46E5"));
    QVERIFY(rule(get_stylesheet(false), "QPushButton#primaryBtn:hover").contains("#4338CA"));
    for (bool dark : {true, false}) {
      QVERIFY(rule(get_stylesheet(dark), "QPushButton#dangerBtn").contains("background-color: #D3112E"));
      QVERIFY(rule(get_stylesheet(dark), "QPushButton#dangerBtn:hover").contains("background-color: #A30D25"));
      QVERIFY(rule(get_stylesheet(dark), "QTextEdit").contains("color: #00FF66"));
    }
  }

  void toggle_knob_follows_checked_state() {
    ThemeToggle toggle;
    QCOMPARE(toggle.size(), QSize(56, 26));
    QCOMPARE(toggle.toolTip(), QString("Toggle Mode"));
    QSignalSpy spy(&toggle, &QCheckBox::toggled);
    for (bool checked : {true, false}) {
      toggle.setChecked(checked);
      const QImage image = toggle.grab().toImage();
      // The knob is white; the track is #222226 (on) or #D1D1D6 (off).
      const QColor right = image.pixelColor(56 - 12, 13);
      const QColor left = image.pixelColor(14, 13);
      if (checked) {
        QCOMPARE(right, QColor("#FFFFFF"));
        QVERIFY(left != QColor("#FFFFFF"));
      } else {
        QCOMPARE(left, QColor("#FFFFFF"));
        QVERIFY(right != QColor("#FFFFFF"));
      }
      const QColor track = image.pixelColor(28, 2);
      QCOMPARE(track, QColor(checked ? "#222226" : "#D1D1D6"));
    }
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(toggle.isChecked());
    QCOMPARE(spy.count(), 3);
  }

  void info_label_tooltip_only_on_glyph() {
    std::unique_ptr<QWidget> info(create_info_label("Width:", "Target width"));
    const auto labels = info->findChildren<QLabel*>();
    QCOMPARE(labels.size(), 2);
    QCOMPARE(labels[0]->text(), QString("Width:"));
    QVERIFY(labels[0]->toolTip().isEmpty());
    QCOMPARE(labels[1]->text(), QString("ⓘ"));
    QCOMPARE(labels[1]->toolTip(), QString("Target width"));
    QVERIFY(info->toolTip().isEmpty());
  }

  void guide_text_has_seven_sections_and_no_trailing_break() {
    const QString html = help_guide_html();
    QCOMPARE(html.count("📌"), 7);
    QCOMPARE(html.count("• <b>"), 20);  // the annotator's keys, classes and layout beside the specified entries
    QVERIFY(html.contains("<b>📌 5. YOLO Configuration &amp; AutoML</b>"));
    QVERIFY(html.contains("auto-generating a valid YOLO <code>data.yaml</code>."));
    QVERIFY(html.endsWith("OpenVINO, or CoreML."));
    QVERIFY(html.contains("for batch processing.<br><br><b>📌 2. Image Splitter</b><br>• <b>Grid Layout:</b>"));
    // The rendered text shows single ampersands.
    QTextDocument doc;
    doc.setHtml(html);
    QVERIFY(doc.toPlainText().contains("• Export & Split: Split the newly"));
    QVERIFY(!doc.toPlainText().contains("&&"));
  }

  // The guide's keys line comes from the key table the shortcuts and the annotator read; no key
  // is bound twice.
  void the_keys_line_is_read_from_the_key_table() {
    QCOMPARE(annotator_keys_guide(),
             QString("D/→ next, A/← previous, S/P/R/C/G/I/B/T the modes, Ctrl+Z/Ctrl+Y undo and redo, Ctrl+D copy the "
                     "previous frame, Comma/Period the track's previous and next keyframe, E no objects, Delete the "
                     "picked shapes, Enter or F2 its class, Ctrl++/Ctrl+- "
                     "zoom, F or Ctrl+0 fit, Ctrl+S save, Ctrl+O open a folder, Ctrl+[ / Ctrl+] hide or show the side "
                     "panels, Escape back to the picture from a field, Tab out of the picture; in a label review, Y "
                     "takes the model's version and N dismisses the finding."));
    QVERIFY(help_guide_html().contains(annotator_keys_guide().toHtmlEscaped()));
    QSet<int> bound;
    for (const AnnotatorKey& row : annotator_keys())
      for (const QKeySequence& key : row.keys) {
        QVERIFY2(!bound.contains(key[0].toCombined()), qPrintable(key.toString()));
        bound.insert(key[0].toCombined());
        QCOMPARE(annotator_key_for(key[0].toCombined())->command, row.command);
      }
    QCOMPARE(annotator_keys_text(AnnotatorCommand::Redo), QString("Ctrl+Shift+Z or Ctrl+Y"));
    QCOMPARE(annotator_key_text(AnnotatorCommand::ZoomIn), QString("Ctrl++"));
    QVERIFY(!annotator_key_for(Qt::Key_Q));
  }

  void help_dialog_layout() {
    HelpDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString("Quorlan Studio - User Guide"));
    QCOMPARE(dialog.minimumSize(), QSize(750, 600));
    QVERIFY(dialog.findChild<QLabel*>("guide_text"));
    QPushButton* close = nullptr;
    for (auto* b : dialog.findChildren<QPushButton*>())
      if (b->text() == "Close Guide") close = b;
    QVERIFY(close);
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    close->click();
    QCOMPARE(accepted.count(), 1);
  }

  void console_cleaning() {
    const QString esc = QString(QChar(27));
    QCOMPARE(clean_console_text(esc + "[32mword" + esc + "[0m\n"), QString("word\n"));
    QCOMPARE(clean_console_text("\r"), QString());
    QCOMPARE(clean_console_text(esc + "[2K"), QString());
    QCOMPARE(clean_console_text("\r 10%\r 20%"), QString(" 10% 20%"));
    QCOMPARE(clean_console_text("[1mbold[0m [1;34mx"), QString("bold x"));
    QCOMPARE(clean_console_text(esc + "Mline"), QString("line"));
  }

  void unit_table() {
    QCOMPARE(unit_to_inches.size(), std::size_t(5));
    QVERIFY(!inches_per_unit("px").has_value());
    QCOMPARE(*inches_per_unit("cm"), 1 / 2.54);
    QCOMPARE(*inches_per_unit("pt"), 1 / 72.0);
    QVERIFY(!inches_per_unit("furlong").has_value());
    QCOMPARE(CLASS_COLORS.size(), 10);
  }

  void guide_title_and_credit_keep_their_sizes_under_the_theme() {
    qApp->setStyleSheet(get_stylesheet(true));
    HelpDialog dialog;
    dialog.show();
    QLabel* title = nullptr;
    QLabel* credit = nullptr;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
      if (label->text() == "Quorlan Studio - User Guide") title = label;
      if (label->text().startsWith("Built by")) credit = label;
    }
    QVERIFY(title && credit);
    QCOMPARE(title->font().pointSize(), 16);
    QCOMPARE(credit->font().pointSize(), 10);
    qApp->setStyleSheet(QString());
  }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"

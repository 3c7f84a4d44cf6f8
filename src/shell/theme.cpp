#include "shell/theme.h"

#include <QColor>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPalette>

namespace quorlan {
namespace {

struct Palette {
  const char* bg;
  const char* panel;
  const char* inp;
  const char* tab_inact;
  const char* txt;
  const char* txt_mute;
  const char* border;
  const char* btn;
  const char* btn_hov;
  const char* cvs;
  const char* acc;
  const char* acc_hov;
};

constexpr Palette kDark{"#121214", "#1A1A1E", "#222226", "#18181C", "#ECECEE", "#8E8E93",
                        "#2D2D32", "#222226", "#2D2D32", "#0A0A0C", "#6366F1", "#4F46E5"};
constexpr Palette kLight{"#FAFAFA", "#FFFFFF", "#F1F1F4", "#E5E5EA", "#1C1C1E", "#6C6C70",
                         "#D1D1D6", "#E5E5EA", "#D1D1D6", "#F2F2F7", "#4F46E5", "#4338CA"};

// One rule per line; {role} placeholders are replaced by the palette's colours.
const char* const kTemplate =
    "QMainWindow, QDialog, QMessageBox { background-color: {bg}; }\n"
    "QWidget { color: {txt}; font-family: 'Segoe UI', Arial, sans-serif; font-size: 12px; }\n"
    "QLabel { background: transparent; }\n"
    "QScrollArea { background-color: {panel}; border: 1px solid {border}; border-radius: 6px; }\n"
    "QScrollArea > QWidget > QWidget { background-color: {panel}; color: {txt}; }\n"
    "QTabWidget::pane { border: 1px solid {border}; background-color: {panel}; border-radius: 6px; top: -1px; }\n"
    "QTabBar::tab { background-color: {tab_inact}; color: {txt_mute}; padding: 8px 10px; font-size: 11px; font-weight: "
    "normal; "
    "border-top-left-radius: 6px; border-top-right-radius: 6px; margin-right: 2px; border: 1px solid {border}; "
    "border-bottom: none; }\n"
    "QTabBar::tab:selected { background-color: {panel}; color: {acc}; border-bottom: 3px solid {acc}; "
    "font-weight: bold; }\n"
    "QGroupBox { font-weight: bold; border: 1px solid {border}; border-radius: 6px; margin-top: 10px; "
    "padding-top: 10px; background-color: {panel}; }\n"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; padding: 0 6px; color: {txt}; }\n"
    "QLineEdit, QSpinBox, QDoubleSpinBox, QComboBox { border: 1px solid {border}; border-radius: 4px; "
    "padding: 5px 8px; background-color: {inp}; color: {txt}; selection-background-color: {acc}; }\n"
    "QLineEdit:focus, QSpinBox:focus, QDoubleSpinBox:focus, QComboBox:focus { border: 1px solid {acc}; "
    "background-color: {panel}; }\n"
    "QComboBox QAbstractItemView { background-color: {panel}; color: {txt}; selection-background-color: {acc}; "
    "border: 1px solid {border}; }\n"
    "QPushButton { background-color: {btn}; color: {txt}; font-weight: bold; border-radius: 4px; "
    "padding: 6px 12px; border: 1px solid {border}; }\n"
    "QPushButton:hover { background-color: {btn_hov}; border-color: {acc}; }\n"
    "QPushButton:disabled { background-color: {tab_inact}; color: {txt_mute}; border-color: {border}; }\n"
    "QPushButton#primaryBtn { background-color: {acc}; color: #FFFFFF; font-size: 13px; padding: 9px 16px; "
    "border: none; }\n"
    "QPushButton#primaryBtn:hover { background-color: {acc_hov}; }\n"
    "QPushButton#dangerBtn { background-color: #D3112E; color: #FFFFFF; font-size: 12px; border: none; }\n"
    "QPushButton#dangerBtn:hover { background-color: #A30D25; }\n"
    "QTextEdit { background-color: {cvs}; color: #00FF66; font-family: 'Consolas', monospace; "
    "border: 1px solid {border}; border-radius: 6px; padding: 8px; }\n"
    "QProgressBar { border: 1px solid {border}; border-radius: 4px; text-align: center; "
    "background-color: {inp}; font-weight: bold; color: {txt}; }\n"
    "QProgressBar::chunk { background-color: {acc}; border-radius: 3px; }\n"
    "QGraphicsView { background-color: {cvs}; border: 1px solid {border}; border-radius: 6px; }\n"
    "QTableWidget, QListWidget { border: 1px solid {border}; background-color: {panel}; color: {txt}; "
    "border-radius: 4px; gridline-color: {border}; }\n"
    "QHeaderView::section { background-color: {inp}; color: {txt}; padding: 4px; border: none; "
    "border-right: 1px solid {border}; border-bottom: 1px solid {border}; font-weight: bold; }\n"
    "QTableWidget::item:selected, QListWidget::item:selected { background-color: {acc}; color: #FFFFFF; }\n"
    // A coloured button that cannot be pressed (a run in progress, nothing to stop) looks it.
    "QPushButton#primaryBtn:disabled, QPushButton#dangerBtn:disabled { background-color: {tab_inact}; "
    "color: {txt_mute}; border: 1px dashed {border}; }\n"
    // Spin boxes keep visible step arrows under the style sheet (drawn as small triangles).
    "QSpinBox, QDoubleSpinBox { padding-right: 18px; }\n"
    "QSpinBox::up-button, QDoubleSpinBox::up-button { subcontrol-origin: border; subcontrol-position: top right; "
    "width: 16px; border-left: 1px solid {border}; border-bottom: 1px solid {border}; background-color: {btn}; "
    "border-top-right-radius: 4px; }\n"
    "QSpinBox::down-button, QDoubleSpinBox::down-button { subcontrol-origin: border; "
    "subcontrol-position: bottom right; width: 16px; border-left: 1px solid {border}; background-color: {btn}; "
    "border-bottom-right-radius: 4px; }\n"
    "QSpinBox::up-button:hover, QDoubleSpinBox::up-button:hover, QSpinBox::down-button:hover, "
    "QDoubleSpinBox::down-button:hover { background-color: {btn_hov}; }\n"
    "QSpinBox::up-arrow, QDoubleSpinBox::up-arrow { image: url(:/icons/arrow-up-{arrows}.png); }\n"
    "QSpinBox::down-arrow, QDoubleSpinBox::down-arrow { image: url(:/icons/arrow-down-{arrows}.png); }\n"
    "QSpinBox::up-arrow:disabled, QDoubleSpinBox::up-arrow:disabled { image: url(:/icons/arrow-up-muted.png); }\n"
    "QSpinBox::down-arrow:disabled, QDoubleSpinBox::down-arrow:disabled { "
    "image: url(:/icons/arrow-down-muted.png); }\n";

}  // namespace

QString get_stylesheet(bool is_dark) {
  const Palette& p = is_dark ? kDark : kLight;
  const std::pair<const char*, const char*> roles[] = {
      {"{bg}", p.bg},
      {"{panel}", p.panel},
      {"{inp}", p.inp},
      {"{tab_inact}", p.tab_inact},
      {"{txt_mute}", p.txt_mute},
      {"{txt}", p.txt},
      {"{border}", p.border},
      {"{btn_hov}", p.btn_hov},
      {"{btn}", p.btn},
      {"{cvs}", p.cvs},
      {"{acc_hov}", p.acc_hov},
      {"{acc}", p.acc},
      {"{arrows}", is_dark ? "light" : "dark"},
  };
  QString sheet = QString::fromLatin1(kTemplate);
  for (const auto& [key, colour] : roles) sheet.replace(QLatin1String(key), QLatin1String(colour));
  return sheet;
}

QPalette theme_palette(bool is_dark) {
  const Palette& p = is_dark ? kDark : kLight;
  QPalette palette;
  const auto set = [&](QPalette::ColorRole role, const char* colour) { palette.setColor(role, QColor(colour)); };
  set(QPalette::Window, p.bg);
  set(QPalette::WindowText, p.txt);
  set(QPalette::Base, p.panel);
  set(QPalette::AlternateBase, p.inp);
  set(QPalette::Text, p.txt);
  set(QPalette::Button, p.btn);
  set(QPalette::ButtonText, p.txt);
  set(QPalette::ToolTipBase, p.panel);
  set(QPalette::ToolTipText, p.txt);
  set(QPalette::PlaceholderText, p.txt_mute);
  set(QPalette::Highlight, p.acc);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, QColor(p.txt_mute));
  return palette;
}

QWidget* create_info_label(const QString& text, const QString& tooltip_text) {
  auto* container = new QWidget;
  auto* layout = new QHBoxLayout(container);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  layout->addWidget(new QLabel(text));
  auto* glyph = new QLabel(QStringLiteral("ⓘ"));
  glyph->setStyleSheet("color: #6366F1; font-weight: bold; font-size: 11px;");
  glyph->setToolTip(tooltip_text);
  layout->addWidget(glyph);
  layout->addStretch();
  return container;
}

ThemeToggle::ThemeToggle(QWidget* parent) : QCheckBox(parent) {
  setFixedSize(56, 26);
  setCursor(Qt::PointingHandCursor);
  setToolTip("Toggle Mode");
}

bool ThemeToggle::hitButton(const QPoint& pos) const { return rect().contains(pos); }

void ThemeToggle::paintEvent(QPaintEvent*) {
  const bool on = isChecked();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);

  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(on ? "#222226" : "#D1D1D6"));
  painter.drawRoundedRect(QRectF(0, 0, width(), height()), 13, 13);

  painter.setBrush(QColor("#FFFFFF"));
  painter.drawEllipse(QRectF(on ? width() - 22 : 4, 3, 20, 20));

  QFont font = painter.font();
  font.setPointSize(9);
  painter.setFont(font);
  painter.setPen(QColor(on ? "#FFD700" : "#FFA500"));
  const QRect glyph_rect = rect().adjusted(6, 0, -6, 0);
  if (on)
    painter.drawText(glyph_rect, Qt::AlignLeft, QStringLiteral("🌙"));
  else
    painter.drawText(glyph_rect, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("☀️"));
}

}  // namespace quorlan

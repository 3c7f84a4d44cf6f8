#pragma once
#include <QCheckBox>
#include <QPalette>
#include <QString>
#include <QWidget>

namespace quorlan {

// The application-wide style sheet for the dark (true) or light (false) palette.
QString get_stylesheet(bool is_dark = true);
// The same colours as a palette, for what the style sheet does not reach (the file dialog's lists,
// a message box's details): light text never sits on a white view.
QPalette theme_palette(bool is_dark = true);

// A text label followed by an "ⓘ" glyph whose tool tip explains the field. Parentless;
// the caller's layout takes ownership.
QWidget* create_info_label(const QString& text, const QString& tooltip_text);

// The painted dark/light switch in the tab bar's corner; checked means dark.
class ThemeToggle : public QCheckBox {
  Q_OBJECT
 public:
  explicit ThemeToggle(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override;
};

}  // namespace quorlan

#pragma once
#include <QDialog>
#include <QString>

#include "core/class_colours.h"

class QComboBox;

namespace quorlan {

// The guide's rich text: seven sections in tab order.
QString help_guide_html();

// The built-in user guide; a new one is made for every click of the guide button.
// Below the guide: the class colours and "Reset Layout".
class HelpDialog : public QDialog {
  Q_OBJECT
 public:
  explicit HelpDialog(QWidget* parent = nullptr);
  QComboBox* combo_palette = nullptr;

 signals:
  void palette_chosen(ClassPalette palette);
  void reset_layout_requested();
};

}  // namespace quorlan

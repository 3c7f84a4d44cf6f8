#pragma once
#include <QDialog>
#include <QString>

namespace quorlan {

// The guide's rich text: seven sections in tab order.
QString help_guide_html();

// The built-in user guide; a new one is made for every click of the guide button.
class HelpDialog : public QDialog {
  Q_OBJECT
 public:
  explicit HelpDialog(QWidget* parent = nullptr);
};

}  // namespace quorlan

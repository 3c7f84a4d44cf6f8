#pragma once
#include <QString>
#include <functional>

class QLineEdit;
class QPushButton;
class QWidget;

namespace quorlan {

// A "Browse..." button: `ask` opens the dialog; a chosen path replaces the field's text, a
// cancel leaves it as it was.
QPushButton* browse_button(QWidget* owner, QLineEdit* target, const std::function<QString()>& ask);

}  // namespace quorlan

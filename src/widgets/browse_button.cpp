#include "widgets/browse_button.h"

#include <QLineEdit>
#include <QPushButton>

namespace quorlan {

QPushButton* browse_button(QWidget* owner, QLineEdit* target, const std::function<QString()>& ask) {
  auto* button = new QPushButton("Browse...");
  QObject::connect(button, &QPushButton::clicked, owner, [target, ask] {
    const QString chosen = ask();
    target->setText(chosen.isEmpty() ? target->text() : chosen);
  });
  return button;
}

}  // namespace quorlan

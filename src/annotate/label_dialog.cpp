#include "annotate/label_dialog.h"

#include <QComboBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "core/label_files.h"
#include "widgets/prompts.h"

namespace quorlan {

LabelDialog::LabelDialog(const QStringList& classes, const QString& last_label, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Assign Target Class");
  setFixedSize(300, 120);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Select existing label or type new:"));
  combo = new QComboBox;
  combo->setObjectName("combo");
  combo->setEditable(true);
  combo->addItems(classes);
  // "Car" is another class than "car": completion must not turn one into the other.
  combo->completer()->setCaseSensitivity(Qt::CaseSensitive);
  combo->setInsertPolicy(QComboBox::NoInsert);
  if (classes.contains(last_label)) combo->setCurrentIndex(static_cast<int>(classes.indexOf(last_label)));
  // The offered name is selected, so typing replaces it.
  combo->lineEdit()->selectAll();
  combo->setFocus();
  class_count_ = static_cast<int>(classes.size());
  // The combo has the focus and hands keys to its line edit without filters: watch both.
  combo->installEventFilter(this);
  combo->lineEdit()->installEventFilter(this);
  combo->setToolTip(classes.isEmpty() ? QString() : "Keys 1–9 pick the n-th class");
  layout->addWidget(combo);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

bool LabelDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && (watched == combo || watched == combo->lineEdit())) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const int n = key->key() - Qt::Key_0;
    const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (!typed_ && plain && n >= 1 && n <= 9 && n <= class_count_) {
      combo->setCurrentIndex(n - 1);
      accept();
      return true;
    }
    if (!key->text().isEmpty()) typed_ = true;
  }
  return QDialog::eventFilter(watched, event);
}

QString LabelDialog::get_label() const { return combo->currentText().trimmed(); }

int LabelDialog::chosen_index() const {
  const int index = combo->currentIndex();
  if (index < 0 || combo->itemText(index).trimmed() != get_label()) return -1;
  return index;
}

QString LabelDialog::label_problem(const QString& label) {
  if (has_control_characters(label))
    return QStringLiteral("A class name cannot hold a line break or another control character.");
  return {};
}

void LabelDialog::accept() {
  const QString problem = label_problem(combo->currentText());
  if (!problem.isEmpty()) {
    prompts().warning(this, "Invalid Label", problem);
    return;
  }
  QDialog::accept();
}

}  // namespace quorlan

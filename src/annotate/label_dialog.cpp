#include "annotate/label_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace quorlan {

LabelDialog::LabelDialog(const QStringList& classes, const QString& last_label, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Assign Target Class");
  setFixedSize(300, 120);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Select existing label or type new:"));
  combo = new QComboBox;
  combo->setObjectName("combo");
  combo->setEditable(true);
  combo->addItems(classes);
  if (classes.contains(last_label)) combo->setCurrentText(last_label);
  layout->addWidget(combo);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QString LabelDialog::get_label() const { return combo->currentText().trimmed(); }

}  // namespace quorlan

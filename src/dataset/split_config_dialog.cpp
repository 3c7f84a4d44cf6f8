#include "dataset/split_config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>
#include <QVBoxLayout>

#include "widgets/prompts.h"

#include <limits>

namespace quorlan {
namespace {
QSpinBox* percent_box(const char* name, int value) {
  auto* box = new QSpinBox;
  box->setObjectName(name);
  box->setRange(0, 100);
  box->setValue(value);
  return box;
}
}  // namespace

SplitConfigDialog::SplitConfigDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Dataset Train/Val/Test Splitter");
  setMinimumWidth(360);
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // as tall as its rows, no gap
  auto* form = new QFormLayout;
  ts = percent_box("ts", 70);
  vs = percent_box("vs", 20);
  tes = percent_box("tes", 10);
  fc = new QComboBox;
  fc->setObjectName("fc");
  fc->addItems({"Detection (Bounding Boxes)", "Segmentation (Polygons)"});
  form->addRow("Train %:", ts);
  form->addRow("Val %:", vs);
  form->addRow("Test %:", tes);
  form->addRow("Format:", fc);
  seed = new QSpinBox;
  seed->setObjectName("seed");
  seed->setRange(0, std::numeric_limits<int>::max());
  seed->setValue(kDefaultSeed);
  seed->setToolTip("The same seed splits the same folder the same way; images made from one source stay together.");
  form->addRow("Seed:", seed);
  layout->addLayout(form);
  backgrounds = new QCheckBox("Export pictures without labels as backgrounds");
  backgrounds->setObjectName("backgrounds");
  backgrounds->setToolTip(
      "Pictures without a label file are left out (not yet annotated). Ticked, they are exported without one: the "
      "engine trains them as backgrounds with no objects.");
  layout->addWidget(backgrounds);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &SplitConfigDialog::validate);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

void SplitConfigDialog::validate() {
  if (ts->value() + vs->value() + tes->value() == 100)
    accept();
  else
    prompts().warning(this, "Invalid", "Must total 100%.");
}

std::array<double, 3> SplitConfigDialog::get_ratios() const {
  return {ts->value() / 100.0, vs->value() / 100.0, tes->value() / 100.0};
}

bool SplitConfigDialog::get_backgrounds() const { return backgrounds->isChecked(); }

quint64 SplitConfigDialog::get_seed() const { return static_cast<quint64>(seed->value()); }

QString SplitConfigDialog::get_format() const {
  return fc->currentText().contains("Detection") ? QStringLiteral("Detection") : QStringLiteral("Segmentation");
}

}  // namespace quorlan

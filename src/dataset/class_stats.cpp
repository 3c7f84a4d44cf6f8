#include "dataset/class_stats.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

namespace quorlan {

QDialog* make_class_distribution_dialog(const ClassCounts& counts, QWidget* parent) {
  auto* dialog = new QDialog(parent);
  dialog->setWindowTitle("Dataset Class Distribution");
  dialog->setMinimumSize(450, 300);
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(new QLabel("Current Annotation Totals:"));
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  auto* content = new QWidget;
  auto* rows = new QVBoxLayout(content);
  const ClassCounts sorted = sorted_by_count(counts);
  const int max = sorted.isEmpty() ? 0 : sorted.first().second;
  for (const auto& [name, count] : sorted) {
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(QStringLiteral("%1 (%2)").arg(name, QString::number(count)));
    label->setFixedWidth(120);
    auto* bar = new QProgressBar;
    bar->setRange(0, max);
    bar->setValue(count);
    bar->setTextVisible(false);
    bar->setFixedHeight(15);
    row->addWidget(label);
    row->addWidget(bar);
    rows->addLayout(row);
  }
  rows->addStretch();
  scroll->setWidget(content);
  layout->addWidget(scroll);
  return dialog;
}

}  // namespace quorlan

#include "dataset/class_stats.h"

#include <QDialog>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

#include "core/label_files.h"
#include "core/text_scan.h"

namespace quorlan {

ClassCounts count_class_objects(const QStringList& image_paths, const QStringList& classes) {
  std::vector<int> per_id(static_cast<std::size_t>(classes.size()), 0);
  std::vector<int> first_seen;  // class ids in order of their first object
  std::string buffer;
  for (const QString& image : image_paths) {
    if (!read_whole_file(QFile::encodeName(label_path_for(image)), buffer)) continue;
    for_each_line_tokens(buffer, [&](const std::vector<std::string_view>& tokens) {
      long long id = 0;
      if (tokens.empty() || !parse_int(tokens[0], &id) || id < 0 || id >= classes.size()) return true;
      if (per_id[id]++ == 0) first_seen.push_back(static_cast<int>(id));
      return true;
    });
  }
  ClassCounts counts;
  for (int id : first_seen) counts.append({classes[id], per_id[id]});
  return counts;
}

ClassCounts sorted_by_count(ClassCounts counts) {
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return counts;
}

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

#include "imaging/splitter_tab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <mutex>

#include "core/class_names.h"
#include "core/image_files.h"
#include "core/label_geometry.h"
#include "imaging/tile_plan.h"
#include "shell/theme.h"
#include "widgets/background_work.h"
#include "widgets/browse_button.h"
#include "widgets/prompts.h"

namespace quorlan {

SplitterTab::SplitterTab(QWidget* parent) : QWidget(parent) { setup_splitter_tab(); }

void SplitterTab::setup_splitter_tab() {
  auto* layout = new QVBoxLayout(this);
  auto* dirs = new QGroupBox("Directory Configuration");
  auto* grid = new QGridLayout(dirs);
  entry_split_in = new QLineEdit;
  entry_split_in->setObjectName("entry_split_in");
  entry_split_in->setPlaceholderText("Select source directory containing images...");
  entry_split_out = new QLineEdit;
  entry_split_out->setObjectName("entry_split_out");
  entry_split_out->setPlaceholderText("Select destination directory for tiles...");
  const std::pair<QLineEdit*, const char*> rows[] = {{entry_split_in, "Select Input Directory"},
                                                     {entry_split_out, "Select Output Directory"}};
  const std::pair<const char*, const char*> infos[] = {{"Input Folder:", "Source directory"},
                                                       {"Output Folder:", "Destination directory"}};
  for (int i = 0; i < 2; ++i) {
    QLineEdit* field = rows[i].first;
    const QString title = rows[i].second;
    auto* browse = browse_button(this, field, [this, title] { return prompts().get_existing_directory(this, title); });
    browse->setObjectName(i == 0 ? "btn_browse_in" : "btn_browse_out");
    grid->addWidget(create_info_label(infos[i].first, infos[i].second), i, 0);
    grid->addWidget(field, i, 1);
    grid->addWidget(browse, i, 2);
  }
  layout->addWidget(dirs);

  auto* params = new QGroupBox("Splitting Grid Parameters && Folder Structure");
  auto* form = new QFormLayout(params);
  spin_split_parts = new QSpinBox;
  spin_split_parts->setObjectName("spin_split_parts");
  spin_split_parts->setRange(1, 100);
  spin_split_parts->setValue(4);
  combo_grid_mode = new QComboBox;
  combo_grid_mode->setObjectName("combo_grid_mode");
  chk_subfolders = new QCheckBox("Save each tile part index in a separate subfolder (e.g. part_1/, part_2/)");
  chk_subfolders->setObjectName("chk_subfolders");
  chk_subfolders->setChecked(true);
  auto* split = new QPushButton("✂ SPLIT IMAGES");
  split->setObjectName("primaryBtn");
  form->addRow("Number of Tile Parts:", spin_split_parts);
  form->addRow("Grid Layout Mode:", combo_grid_mode);
  form->addRow(chk_subfolders);
  chk_write_labels = new QCheckBox("Write YOLO labels for the outputs");
  chk_write_labels->setObjectName("chk_write_labels");
  chk_write_labels->setEnabled(false);
  spin_min_visible = new QSpinBox;
  spin_min_visible->setObjectName("spin_min_visible");
  spin_min_visible->setRange(1, 100);
  spin_min_visible->setValue(25);
  spin_min_visible->setSuffix(" %");
  spin_min_visible->setToolTip(
      "An object cut by a tile border stays in the tile's labels when at least this share "
      "of its area is inside the tile.");
  form->addRow(chk_write_labels);
  form->addRow("Keep objects at least N% visible:", spin_min_visible);
  form->addRow(split);
  layout->addWidget(params);
  layout->addStretch();

  connect(spin_split_parts, &QSpinBox::valueChanged, this, [this] { update_splitter_grid_modes(); });
  connect(split, &QPushButton::clicked, this, [this] { process_image_splitting(); });
  connect(entry_split_in, &QLineEdit::textChanged, this, [this] { update_label_option(); });
  connect(chk_write_labels, &QCheckBox::toggled, spin_min_visible, &QWidget::setEnabled);
  spin_min_visible->setEnabled(false);
  update_splitter_grid_modes();
}

void SplitterTab::update_label_option() {
  const QString in = entry_split_in->text().trimmed();
  const bool labelled = !in.isEmpty() && QFileInfo(in).isDir() && any_label_file(list_split_images(in));
  chk_write_labels->setEnabled(labelled);
  chk_write_labels->setChecked(labelled);
  spin_min_visible->setEnabled(labelled);
}

void SplitterTab::update_splitter_grid_modes() {
  combo_grid_mode->clear();
  combo_grid_mode->addItems(grid_modes(spin_split_parts->value()));
  combo_grid_mode->setCurrentIndex(0);
}

void SplitterTab::process_image_splitting() {
  const QString in = entry_split_in->text().trimmed();
  const QString out = entry_split_out->text().trimmed();
  if (in.isEmpty() || !QFileInfo::exists(in) || out.isEmpty()) {
    prompts().warning(this, "Error", "Specify valid Input and Output directories.");
    return;
  }
  const int n = spin_split_parts->value();
  const auto grid = parse_grid_mode(combo_grid_mode->currentText());
  if (!grid) return;
  const QStringList files = list_split_images(in);
  if (files.isEmpty()) {
    prompts().warning(this, "No Images", "No images found in input folder.");
    return;
  }
  if (!QDir().mkpath(out)) {
    prompts().warning(this, "Error", "The output folder " + QDir::toNativeSeparators(out) + " cannot be created.");
    return;
  }
  const bool subfolders = chk_subfolders->isChecked();
  LabelCarry carry;
  carry.enabled = chk_write_labels->isEnabled() && chk_write_labels->isChecked();
  carry.min_visible = spin_min_visible->value() / 100.0;
  auto total = std::make_shared<SplitOutcome>();
  total->files = files.size();
  total->unreadable = undecodable_image_notes(in);  // named as skipped, never silently
  auto mutex = std::make_shared<std::mutex>();
  // Plain ints: a lambda may not capture structured bindings in C++17 (Clang refuses it).
  const int rows = grid->first, cols = grid->second;
  run_batch_beside_window(
      this, "Splitting images...", files.size(),
      [=](int i, const WorkControl&) {
        const SplitOutcome one = split_batch_picture(in, files[i], out, rows, cols, n, subfolders, carry);
        const std::lock_guard<std::mutex> lock(*mutex);
        total->add(one);
      },
      [this, total, in, out](const WorkControl& control) {
        total->cancelled = control.cancel.load();
        // The class names go with the labels, once into every folder that received some.
        write_class_names(in, total->label_folders, &total->failed);
        prompts().information(
            this, "Splitting Success",
            split_summary(*total) + QStringLiteral("\nOutput folder: %1").arg(QDir::toNativeSeparators(out)));
      });
}

}  // namespace quorlan

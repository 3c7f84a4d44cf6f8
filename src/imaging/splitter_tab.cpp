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
#include <opencv2/imgcodecs.hpp>

#include "core/atomic_file.h"
#include "core/class_names.h"
#include "core/image_limits.h"
#include "core/label_geometry.h"
#include "imaging/batch_runner.h"
#include "imaging/tile_plan.h"
#include "imaging/tile_stream.h"
#include "shell/browse_button.h"
#include "shell/prompts.h"
#include "shell/theme.h"

namespace quorlan {

SplitOutcome split_one_image(const QString& file, const QString& output_dir, int rows, int cols, int n,
                             bool subfolders, const LabelCarry& carry) {
  // A picture too large to decode whole is cut on the streaming pipeline instead.
  if (!too_large_to_decode(file).isEmpty())
    return split_streaming(file, output_dir, rows, cols, n, subfolders, carry);
  SplitOutcome out;
  cv::Mat image;
  QString unreadable = QStringLiteral("not a readable image");
  try {
    image = cv::imread(QFile::encodeName(file).toStdString(), cv::IMREAD_COLOR);
  } catch (const cv::Exception& e) {  // a picture too large for the decoder, a damaged file
    unreadable = QString::fromLocal8Bit(e.what()).trimmed().section('\n', 0, 0);
  } catch (const std::exception& e) {
    unreadable = QString::fromLocal8Bit(e.what());
  }
  if (image.empty()) {  // named in the summary, not counted as split
    out.unreadable << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), unreadable);
    return out;
  }
  write_tiles(file, output_dir, image.cols, image.rows, rows, cols, n, subfolders, out,
              [&](const QRect& r, const QString& target) -> QString {
                try {
                  if (cv::imwrite(QFile::encodeName(target).toStdString(),
                                  image(cv::Rect(r.x(), r.y(), r.width(), r.height()))))
                    return {};
                  return QStringLiteral("the encoder refused it");
                } catch (const cv::Exception& e) {
                  return QString::fromLocal8Bit(e.what()).trimmed();
                }
              },
              carry);
  return out;
}

void SplitOutcome::add(const SplitOutcome& one) {
  unreadable += one.unreadable;
  tiles += one.tiles;
  skipped_tiles += one.skipped_tiles;
  failed += one.failed;
  labelled_tiles += one.labelled_tiles;
  objects_cut += one.objects_cut;
  label_problems += one.label_problems;
  label_folders.unite(one.label_folders);
}

void write_tiles(const QString& file, const QString& output_dir, int width, int height, int rows, int cols, int n,
                 bool subfolders, SplitOutcome& out, const std::function<QString(const QRect&, const QString&)>& write,
                 const LabelCarry& carry) {
  const QVector<QRect> spans = tile_spans(width, height, rows, cols);
  SourceLabels labels;
  if (carry.enabled) {
    labels = read_source_labels(file, QSize(width, height));
    if (!labels.error.isEmpty())
      out.label_problems << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(labels.path), labels.error);
    else if (labels.unreadable > 0)
      out.label_problems << QStringLiteral("%1: %2 line(s) could not be read and were not carried")
                                .arg(QDir::toNativeSeparators(labels.path))
                                .arg(labels.unreadable);
  }
  for (int k = 0; k < spans.size(); ++k) {
    const QRect& r = spans[k];
    if (r.width() <= 0 || r.height() <= 0) {
      ++out.skipped_tiles;
      continue;
    }
    const QString target = QDir(output_dir).filePath(tile_relative_path(file, k + 1, n, subfolders));
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
      out.failed << QStringLiteral("%1: cannot create its folder").arg(QDir::toNativeSeparators(target));
      continue;
    }
    const QString why = write(r, target);
    if (!why.isEmpty()) {
      out.failed << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target), why);
      continue;
    }
    ++out.tiles;
    if (labels.shapes.isEmpty()) continue;
    // The tile's objects: clipped to it, moved to its origin; a tile without one gets no file.
    const CarriedLabels carried =
        carry_labels(labels.shapes, QTransform::fromTranslate(-r.x(), -r.y()), r.size(), carry.min_visible);
    out.objects_cut += carried.cut;
    if (carried.kept == 0) continue;
    // Where the studio and the engine look for it (a sibling "labels" of an "images" folder).
    const QString label_target = label_path_for(target);
    const QString reason = write_file_atomically(label_target, carried.bytes, false);
    if (!reason.isEmpty()) {
      out.failed << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(label_target), reason);
      continue;
    }
    ++out.labelled_tiles;
    out.label_folders.insert(QFileInfo(target).absolutePath());
  }
}

QString split_summary(const SplitOutcome& o) {
  QString text = QStringLiteral("Split %1 images into %2 tile parts.").arg(o.files - o.unreadable.size()).arg(o.tiles);
  if (!o.unreadable.isEmpty()) {
    text += QStringLiteral("\n%1 image(s) could not be read:\n").arg(o.unreadable.size());
    text += o.unreadable.mid(0, 5).join('\n');
    if (o.unreadable.size() > 5) text += QStringLiteral("\n...");
  }
  if (o.cancelled) text += QStringLiteral("\nCancelled before every image was split.");
  if (o.skipped_tiles > 0)
    text += QStringLiteral("\n%1 empty tile(s) skipped: an image has fewer pixels than grid cells.").arg(o.skipped_tiles);
  if (o.labelled_tiles > 0 || o.objects_cut > 0 || !o.label_problems.isEmpty())
    text += QStringLiteral("\n%1 tile(s) got label files; %2 object part(s) were cut away as too little of them "
                           "was visible.")
                .arg(o.labelled_tiles)
                .arg(o.objects_cut);
  if (!o.label_problems.isEmpty()) {
    text += QStringLiteral("\n%1 label file(s) were not carried whole:\n").arg(o.label_problems.size());
    text += o.label_problems.mid(0, 5).join('\n');
    if (o.label_problems.size() > 5) text += QStringLiteral("\n...");
  }
  if (!o.failed.isEmpty()) {
    text += QStringLiteral("\n%1 tile(s) could not be written:\n").arg(o.failed.size());
    text += o.failed.mid(0, 5).join('\n');
    if (o.failed.size() > 5) text += QStringLiteral("\n...");
  }
  return text;
}

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
  spin_min_visible->setToolTip("An object cut by a tile border stays in the tile's labels when at least this share "
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
  auto mutex = std::make_shared<std::mutex>();
  // Plain ints: a lambda may not capture structured bindings in C++17 (Clang refuses it).
  const int rows = grid->first, cols = grid->second;
  run_batch_with_progress(
      this, "Splitting images...", files.size(),
      [=](int i, BatchControl&) {
        SplitOutcome one;
        try {
          one = split_one_image(files[i], out, rows, cols, n, subfolders, carry);
        } catch (const std::exception& e) {  // one picture's failure never stops the batch
          one.unreadable << QStringLiteral("%1: %2").arg(QFileInfo(files[i]).fileName(), QString::fromLocal8Bit(e.what()));
        }
        const std::lock_guard<std::mutex> lock(*mutex);
        total->add(one);
      },
      [this, total, in](const BatchControl& control) {
        total->cancelled = control.cancelled;
        // The class names go with the labels, once into every folder that received some.
        write_class_names(in, total->label_folders, &total->failed);
        prompts().information(this, "Splitting Success", split_summary(*total));
      });
}

}  // namespace quorlan

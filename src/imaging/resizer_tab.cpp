#include "imaging/resizer_tab.h"

#include "core/image_files.h"

#include "core/label_geometry.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QVBoxLayout>
#include <atomic>

#include "imaging/resize_pipeline.h"
#include "shell/theme.h"
#include "widgets/background_work.h"
#include "widgets/named.h"
#include "widgets/prompts.h"
#include "widgets/zoomable_view.h"

namespace quorlan {
ResizerTab::ResizerTab(QWidget* parent) : QWidget(parent) { setup_resizer_tab(); }

// A batch still running is cancelled as its watch goes with the tab (each picture then finished is
// whole; none is begun after) and left to end on its own: the window never waits for it.
ResizerTab::~ResizerTab() = default;

void ResizerTab::setup_resizer_tab() {
  auto* layout = new QHBoxLayout(this);

  auto* left = new QGroupBox("Scaling && Quality Parameters");
  left->setFixedWidth(350);
  auto* left_layout = new QVBoxLayout(left);

  auto* dims = new QGroupBox("Dimension Controls");
  auto* grid = new QGridLayout(dims);
  chk_enable_dim = named(new QCheckBox("Enable Resizing"), "chk_enable_dim");
  chk_enable_dim->setChecked(true);
  entry_resize_w = named(new QLineEdit, "entry_resize_w");
  entry_resize_w->setPlaceholderText("Width");
  entry_resize_h = named(new QLineEdit, "entry_resize_h");
  entry_resize_h->setPlaceholderText("Height");
  combo_unit = named(new QComboBox, "combo_unit");
  combo_unit->addItems({"px", "cm", "in", "pt"});
  entry_dpi = named(new QLineEdit("300"), "entry_dpi");
  chk_aspect_ratio = named(new QCheckBox("Lock Aspect Ratio"), "chk_aspect_ratio");
  chk_aspect_ratio->setChecked(true);
  grid->addWidget(chk_enable_dim, 0, 0, 1, 2);
  grid->addWidget(create_info_label("Width:", "Target export width"), 1, 0);
  grid->addWidget(entry_resize_w, 1, 1);
  grid->addWidget(create_info_label("Height:", "Target export height"), 2, 0);
  grid->addWidget(entry_resize_h, 2, 1);
  grid->addWidget(create_info_label("Unit:", "Measurement unit"), 3, 0);
  grid->addWidget(combo_unit, 3, 1);
  grid->addWidget(create_info_label("Target DPI:", "Resolution target DPI"), 4, 0);
  grid->addWidget(entry_dpi, 4, 1);
  grid->addWidget(chk_aspect_ratio, 5, 0, 1, 2);
  left_layout->addWidget(dims);

  auto* quality = new QGroupBox("Quality && Compression Engine");
  auto* quality_form = new QFormLayout(quality);
  chk_enable_comp = named(new QCheckBox("Enable Target Size Constraint"), "chk_enable_comp");
  entry_target_kb = named(new QLineEdit("500"), "entry_target_kb");
  quality_form->addRow(chk_enable_comp);
  quality_form->addRow("Max File Size (KB):", entry_target_kb);
  left_layout->addWidget(quality);

  auto* format = new QGroupBox("Format && Rotation");
  auto* format_form = new QFormLayout(format);
  combo_resizer_format = named(new QComboBox, "combo_resizer_format");
  combo_resizer_format->addItems({"Match Original", "JPEG", "PNG", "WEBP"});
  combo_resizer_rotate = named(new QComboBox, "combo_resizer_rotate");
  combo_resizer_rotate->addItems({"0°", "90°", "180°", "270°"});
  format_form->addRow("Export Format:", combo_resizer_format);
  format_form->addRow("Rotation:", combo_resizer_rotate);
  chk_write_labels = named(new QCheckBox("Write YOLO labels for the outputs"), "chk_write_labels");
  chk_write_labels->setToolTip("Each output gets its source's label file beside it, turned with the picture.");
  chk_write_labels->setEnabled(false);
  format_form->addRow(chk_write_labels);
  left_layout->addWidget(format);
  left_layout->addStretch();

  auto* right = new QGroupBox("Processing Queue && Live Analytics");
  auto* right_layout = new QVBoxLayout(right);
  auto* buttons = new QHBoxLayout;
  auto* add_files = named(new QPushButton("+ Add Files"), "btn_add_files");
  auto* add_folder = named(new QPushButton("+ Add Folder"), "btn_add_folder");
  auto* clear = named(new QPushButton("Clear Queue"), "btn_clear_queue");
  queue_buttons_ = {add_files, add_folder, clear};
  for (QPushButton* b : queue_buttons_) buttons->addWidget(b);
  right_layout->addLayout(buttons);
  chk_recursive = named(new QCheckBox("Include Subfolders recursively"), "chk_recursive");
  right_layout->addWidget(chk_recursive);
  list_resizer_queue = named(new QListWidget, "list_resizer_queue");
  right_layout->addWidget(list_resizer_queue);
  lbl_queue_count = named(new QLabel("0 files in queue"), "lbl_queue_count");
  right_layout->addWidget(lbl_queue_count);
  preview_resizer_view = named(new ZoomableView, "preview_resizer_view");
  preview_resizer_view->setFixedHeight(220);
  right_layout->addWidget(preview_resizer_view);
  lbl_resizer_details =
      named(new QLabel("Select an image from queue to preview expected output."), "lbl_resizer_details");
  lbl_resizer_details->setAlignment(Qt::AlignCenter);
  right_layout->addWidget(lbl_resizer_details);
  progress_resizer = named(new QProgressBar, "progress_resizer");
  right_layout->addWidget(progress_resizer);
  btn_run_resizer = new QPushButton("⚡ RUN BATCH EXPORT");
  btn_run_resizer->setObjectName("primaryBtn");
  right_layout->addWidget(btn_run_resizer);

  layout->addWidget(left);
  layout->addWidget(right, 1);

  connect(add_files, &QPushButton::clicked, this, [this] { resizer_add_files(); });
  connect(add_folder, &QPushButton::clicked, this, [this] { resizer_add_folder(); });
  connect(clear, &QPushButton::clicked, this, [this] { resizer_clear_queue(); });
  connect(list_resizer_queue, &QListWidget::itemSelectionChanged, this, &ResizerTab::resizer_update_preview);
  connect(btn_run_resizer, &QPushButton::clicked, this, [this] { resizer_process_batch(); });
}

void ResizerTab::resizer_add_files() {
  const QStringList files =
      prompts().get_open_file_names(this, "Select Images", QString(), "Images (" + image_name_filter() + ")");
  add_unique_files(resizer_queue, files);
  resizer_update_queue_ui();
}

void ResizerTab::resizer_add_folder() {
  const QString folder = prompts().get_existing_directory(this, "Select Folder");
  if (folder.isEmpty()) return;
  add_unique_files(resizer_queue, list_resizer_folder(folder, chk_recursive->isChecked()));
  resizer_update_queue_ui();
}

void ResizerTab::resizer_clear_queue() {
  resizer_queue.clear();
  resizer_update_queue_ui();
}

void ResizerTab::resizer_update_queue_ui() {
  list_resizer_queue->clear();
  for (const QString& path : resizer_queue) list_resizer_queue->addItem(QFileInfo(path).fileName());
  lbl_queue_count->setText(QStringLiteral("%1 files in queue").arg(resizer_queue.size()));
  const bool labelled = any_label_file(resizer_queue);
  chk_write_labels->setEnabled(labelled);
  chk_write_labels->setChecked(labelled);
}

ResizeSettings ResizerTab::current_settings() const {
  ResizeSettings s;
  s.enable_dim = chk_enable_dim->isChecked();
  s.lock_aspect = chk_aspect_ratio->isChecked();
  s.width_text = entry_resize_w->text().trimmed();
  s.height_text = entry_resize_h->text().trimmed();
  s.unit = combo_unit->currentText();
  s.enable_comp = chk_enable_comp->isChecked();
  s.format = combo_resizer_format->currentText();
  s.rotation = combo_resizer_rotate->currentText().remove(QChar(0x00B0)).toInt();
  return s;
}

std::optional<double> ResizerTab::read_dpi() {
  const QString text = entry_dpi->text().trimmed();
  if (text.isEmpty()) return kDefaultDpi;
  return parse_real(text);
}

void ResizerTab::resizer_update_preview() {
  const int row = list_resizer_queue->currentRow();
  if (row < 0 || row >= resizer_queue.size()) return;
  const QString path = resizer_queue[row];
  const auto fail = [this](const QString& why) { lbl_resizer_details->setText("Preview Error: " + why); };
  QImageReader reader(path);
  const QSize size = reader.size();
  if (!size.isValid()) {
    fail(QStringLiteral("cannot identify image file '%1'").arg(path));
    return;
  }
  const std::optional<double> dpi = read_dpi();
  if (!dpi) {
    fail(QStringLiteral("could not convert '%1' to a number").arg(entry_dpi->text().trimmed()));
    return;
  }
  ResizeSettings s = current_settings();
  s.dpi = *dpi;
  const Expected<TargetSize> target = target_dimensions(size.width(), size.height(), s);
  if (!target) {
    fail(target.error());
    return;
  }
  // The picture is decoded and made small beside the window; only the last one picked is shown.
  const int request = ++preview_request_;
  run_behind_tab(
      this, std::make_shared<WorkControl>(),
      [path] {
        const QImage picture(path);
        return picture.isNull() ? picture : picture.scaled(240, 140, Qt::KeepAspectRatio, Qt::SmoothTransformation);
      },
      [this, request, path, fail,
       line = preview_line(rotated(*target, s.rotation), *dpi, QFileInfo(path).size())](const QImage& small) {
        if (request != preview_request_) return;
        if (small.isNull()) return fail(QStringLiteral("cannot read image file '%1'").arg(path));
        preview_resizer_view->set_image(QPixmap::fromImage(small));
        lbl_resizer_details->setText(line);
      });
}

bool ResizerTab::is_running() const { return batch_ != nullptr; }

void ResizerTab::set_batch_controls_enabled(bool enabled) {
  for (QPushButton* b : queue_buttons_) b->setEnabled(enabled);
  btn_run_resizer->setEnabled(enabled);
  chk_recursive->setEnabled(enabled);
}

void ResizerTab::resizer_process_batch() {
  if (resizer_queue.isEmpty() || is_running()) return;
  // Every number is checked before anything runs, so a typo cannot fail every file.
  ResizeSettings s = current_settings();
  const std::optional<double> dpi = read_dpi();
  QStringList bad;
  if (!dpi) bad << "Target DPI";
  if (s.enable_dim && !s.width_text.isEmpty() && !parse_real(s.width_text)) bad << "Width";
  if (s.enable_dim && !s.height_text.isEmpty() && !parse_real(s.height_text)) bad << "Height";
  const std::optional<double> target_kb = parse_real(entry_target_kb->text());
  if (s.enable_comp && !target_kb) bad << "Max File Size (KB)";
  if (!bad.isEmpty()) {
    prompts().warning(this, "Invalid Input",
                      QStringLiteral("These fields must hold numbers: %1.\nNothing was exported.").arg(bad.join(", ")));
    return;
  }
  if (const Status valid = check_target_dpi(*dpi); !valid) {
    prompts().warning(this, "Invalid Input", valid.error() + "\nNothing was exported.");
    return;
  }
  const QString output_dir = prompts().get_existing_directory(this, "Select Output Directory");
  if (output_dir.isEmpty()) return;
  s.dpi = *dpi;
  if (target_kb) s.target_kb = *target_kb;
  s.write_labels = chk_write_labels->isEnabled() && chk_write_labels->isChecked();

  const QStringList queue = resizer_queue;
  const int total = queue.size();
  progress_resizer->setRange(0, total);
  progress_resizer->setValue(0);
  set_batch_controls_enabled(false);

  auto control = std::make_shared<WorkControl>();
  batch_ = control;
  QPointer<ResizerTab> self(this);
  run_behind_tab(
      this, control,
      [=] {
        return run_resize_batch(
            queue, output_dir, s,
            [self](int finished) {
              QMetaObject::invokeMethod(
                  self,
                  [self, finished] {
                    if (self) self->progress_resizer->setValue(std::max(self->progress_resizer->value(), finished));
                  },
                  Qt::QueuedConnection);
            },
            &control->cancel);
      },
      [this, total, output_dir](const BatchResult& result) { resize_batch_finished(result, total, output_dir); });
}

void ResizerTab::resize_batch_finished(const BatchResult& result, int total, const QString& output_dir) {
  batch_.reset();
  progress_resizer->setValue(total);
  set_batch_controls_enabled(true);
  QString text = QStringLiteral("Batch process finished. Exported %1 images.").arg(result.written);
  if (!result.errors.isEmpty()) {
    text += QStringLiteral("\n%1 image(s) failed:").arg(result.errors.size());
    for (const QString& error : result.errors.mid(0, 10)) text += "\n" + error;
    if (result.errors.size() > 10)
      text += QStringLiteral("\n... and %1 more (see the log).").arg(result.errors.size() - 10);
  }
  if (result.labelled > 0 || !result.label_problems.isEmpty())
    text += QStringLiteral("\n%1 output(s) got label files.").arg(result.labelled);
  if (!result.label_problems.isEmpty()) {
    text += QStringLiteral("\n%1 label file(s) were not carried whole:").arg(result.label_problems.size());
    for (const QString& problem : result.label_problems.mid(0, 10)) text += "\n" + problem;
    if (result.label_problems.size() > 10) text += QStringLiteral("\n...");
  }
  text += QStringLiteral("\nOutput folder: %1").arg(QDir::toNativeSeparators(output_dir));
  prompts().information(this, "Export Complete", text);
}

}  // namespace quorlan

#pragma once
#include <QStringList>
#include <QWidget>
#include <memory>

#include "imaging/resize_pipeline.h"
#include "imaging/resize_plan.h"
#include "widgets/background_work.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace quorlan {

class ZoomableView;

// "Image Resizer + Compressor": a queue of images turned into resized, rotated, re-encoded,
// size-capped copies. The batch runs on all cores off the GUI thread.
class ResizerTab : public QWidget {
  Q_OBJECT
 public:
  explicit ResizerTab(QWidget* parent = nullptr);
  ~ResizerTab() override;
  void setup_resizer_tab();

  void resizer_add_files();
  void resizer_add_folder();
  void resizer_clear_queue();
  void resizer_update_queue_ui();
  void resizer_update_preview();
  void resizer_process_batch();
  bool is_running() const;

  // The settings as the controls show them now (size texts unparsed).
  ResizeSettings current_settings() const;

  QStringList resizer_queue;

 private:
  int preview_request_ = 0;  // the preview last asked for
  // The widgets (each found by its object name, which is its member name).
  QCheckBox* chk_enable_dim = nullptr;
  QCheckBox* chk_aspect_ratio = nullptr;
  QCheckBox* chk_enable_comp = nullptr;
  QCheckBox* chk_recursive = nullptr;
  QLineEdit* entry_resize_w = nullptr;
  QLineEdit* entry_resize_h = nullptr;
  QLineEdit* entry_dpi = nullptr;
  QLineEdit* entry_target_kb = nullptr;
  QComboBox* combo_unit = nullptr;
  QComboBox* combo_resizer_format = nullptr;
  QComboBox* combo_resizer_rotate = nullptr;
  QCheckBox* chk_write_labels = nullptr;
  QListWidget* list_resizer_queue = nullptr;
  QLabel* lbl_queue_count = nullptr;
  QLabel* lbl_resizer_details = nullptr;
  ZoomableView* preview_resizer_view = nullptr;
  QProgressBar* progress_resizer = nullptr;
  QPushButton* btn_run_resizer = nullptr;
  void set_batch_controls_enabled(bool enabled);
  void resize_batch_finished(const BatchResult& result, int total, const QString& output_dir);
  std::optional<double> read_dpi();

  QList<QPushButton*> queue_buttons_;
  std::shared_ptr<WorkControl> batch_;  // the batch running, if any
};

}  // namespace quorlan

#pragma once
#include <QWidget>

#include "imaging/tile_split.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace quorlan {

// "Image Splitter": every image of a folder cut into a grid of tiles.
class SplitterTab : public QWidget {
  Q_OBJECT
 public:
  explicit SplitterTab(QWidget* parent = nullptr);
  void setup_splitter_tab();
  void update_splitter_grid_modes();
  void process_image_splitting();

  // Ticks and enables "Write YOLO labels for the outputs" by whether the input folder has labels.
  void update_label_option();

 private:
  // The widgets (each found by its object name, which is its member name).
  QLineEdit* entry_split_in = nullptr;
  QLineEdit* entry_split_out = nullptr;
  QSpinBox* spin_split_parts = nullptr;
  QComboBox* combo_grid_mode = nullptr;
  QCheckBox* chk_subfolders = nullptr;
  QCheckBox* chk_write_labels = nullptr;
  QSpinBox* spin_min_visible = nullptr;
};

}  // namespace quorlan

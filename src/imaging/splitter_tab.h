#pragma once
#include <functional>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace quorlan {

struct SplitOutcome {
  int files = 0;          // images listed, unreadable ones included
  int tiles = 0;          // tiles actually written
  int skipped_tiles = 0;  // tiles of zero width or height (an image smaller than the grid)
  QStringList failed;     // tiles that could not be written, with the reason
  bool cancelled = false;
  QStringList unreadable;  // images that could not be read, with the reason
};

// Cuts one image into its tiles under `output_dir`; an unreadable image gives an empty outcome.
// Safe to call from several threads at once (each for its own file).
SplitOutcome split_one_image(const QString& file, const QString& output_dir, int rows, int cols, int n,
                             bool subfolders);

// "Image Splitter": every image of a folder cut into a grid of tiles.
class SplitterTab : public QWidget {
  Q_OBJECT
 public:
  explicit SplitterTab(QWidget* parent = nullptr);
  void setup_splitter_tab();
  void update_splitter_grid_modes();
  void process_image_splitting();

  QLineEdit* entry_split_in = nullptr;
  QLineEdit* entry_split_out = nullptr;
  QSpinBox* spin_split_parts = nullptr;
  QComboBox* combo_grid_mode = nullptr;
  QCheckBox* chk_subfolders = nullptr;
};

// The text of the "Splitting Success" box.
// Cuts the spans of a width x height picture into their files: `write` writes one tile and
// returns an empty string or the reason it failed. Counts into `out`.
void write_tiles(const QString& file, const QString& output_dir, int width, int height, int rows, int cols, int n,
                 bool subfolders, SplitOutcome& out, const std::function<QString(const QRect&, const QString&)>& write);

QString split_summary(const SplitOutcome& outcome);

}  // namespace quorlan

#pragma once
// Cutting pictures into a grid of tiles (with their labels when asked): the splitter's work,
// free of widgets so the command line runs it too.
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

namespace quorlan {

struct SplitOutcome {
  int files = 0;          // images listed, unreadable ones included
  int tiles = 0;          // tiles actually written
  int skipped_tiles = 0;  // tiles of zero width or height (an image smaller than the grid)
  QStringList failed;     // tiles that could not be written, with the reason
  bool cancelled = false;
  QStringList unreadable;  // images that could not be read, with the reason
  // With labels carried to the tiles:
  int labelled_tiles = 0;       // tiles that got a label file
  int objects_cut = 0;          // objects dropped from a tile below the visible share
  QStringList label_problems;   // label files with lines that could not be read, or unreadable
  QSet<QString> label_folders;  // output folders that received label files
  void add(const SplitOutcome& one);
};

// Whether and how the tiles get the labels of their image.
struct LabelCarry {
  bool enabled = false;
  double min_visible = 0.25;  // share of an object's area a tile must hold to keep it
};

// Cuts one image into its tiles under `output_dir`; an unreadable image gives an empty outcome.
// Safe to call from several threads at once (each for its own file).
SplitOutcome split_one_image(const QString& file, const QString& output_dir, int rows, int cols, int n, bool subfolders,
                             const LabelCarry& carry = {});
// One picture of a batch over `input_dir` into its folder below `output_dir`: a failure is named
// among the outcome's unreadable pictures and never stops the batch.
SplitOutcome split_batch_picture(const QString& input_dir, const QString& file, const QString& output_dir, int rows,
                                 int cols, int n, bool subfolders, const LabelCarry& carry);

// Cuts the spans of a width x height picture into their files: `write` writes one tile and
// returns an empty string or the reason it failed. Counts into `out`.
// With `carry` enabled every tile written gets the image's labels that fall into it.
void write_tiles(const QString& file, const QString& output_dir, int width, int height, int rows, int cols, int n,
                 bool subfolders, SplitOutcome& out, const std::function<QString(const QRect&, const QString&)>& write,
                 const LabelCarry& carry = {});

// The text of the "Splitting Success" box.
QString split_summary(const SplitOutcome& outcome);

}  // namespace quorlan

#pragma once
// The splitter's grid arithmetic and names.
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>
#include <utility>

namespace quorlan {

// "d Rows x n/d Cols" for every divisor d of n, ascending.
QStringList grid_modes(int n);
// Rows and columns read back from a grid mode text.
std::optional<std::pair<int, int>> parse_grid_mode(const QString& text);
// The tiles of a width x height image in row-major order; the last row and column take the
// remainder, so every pixel lands in exactly one tile. Tiles may be empty for tiny images.
QVector<QRect> tile_spans(int width, int height, int rows, int cols);
// Decimal digits of n: the zero padding of tile numbers.
int pad_width(int n);
QString padded(int k, int n);
// S_part_k.E and, with subfolders, part_k/S_part_k.E (relative to the output folder).
QString tile_relative_path(const QString& source, int k, int n, bool subfolders);
// The images of `folder` (not its subfolders), pattern by pattern: jpg, jpeg, png, bmp, webp;
// the extension matched without regard to letter case. A folder without pictures of its own (a
// split whose pictures sit in subfolders) gives those under it, as the engine finds them.
QStringList list_split_images(const QString& folder);
// Where the tiles of `file` go: `output_dir`, or for a picture in a subfolder of `input_dir` the
// same subfolder under it (so two pictures of one name in two subfolders never meet).
QString tile_output_folder(const QString& input_dir, const QString& file, const QString& output_dir);

}  // namespace quorlan

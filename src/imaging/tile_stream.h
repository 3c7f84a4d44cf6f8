#pragma once
// Tiles of a picture too large to decode whole, cut on libvips' pipeline: the picture is decoded
// once into a temporary file on disk and each tile is encoded from there as it streams, so
// memory stays bounded whatever the picture's size.
#include <QString>

#include "imaging/tile_split.h"

namespace quorlan {

SplitOutcome split_streaming(const QString& file, const QString& output_dir, int rows, int cols, int n, bool subfolders,
                             const LabelCarry& carry = {});

}  // namespace quorlan

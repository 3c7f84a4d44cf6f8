// libvips (through glib) comes before Qt, whose "signals" keyword glib's headers use as a name.
#include <vips/vips8>

#include "imaging/tile_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "imaging/resize_pipeline.h"

namespace quorlan {

using vips::VImage;

namespace {

// Opened for random access: libvips decodes a picture this large once into a temporary file on
// disk (not into memory), and every tile is then read from there.
VImage open_whole(const QByteArray& path) {
  return VImage::new_from_file(path.constData(), VImage::option()->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
}

// 8-bit colour, with its alpha channel where the format keeps one (a JPEG tile loses it).
VImage as_colour(VImage tile, bool keep_alpha) {
  if (tile.has_alpha() && !keep_alpha) tile = tile.extract_band(0, VImage::option()->set("n", tile.bands() - 1));
  if (tile.bands() == 1) tile = tile.bandjoin({tile, tile});
  if (tile.format() != VIPS_FORMAT_UCHAR) tile = tile.cast(VIPS_FORMAT_UCHAR);
  return tile;
}

void encode_tile(const VImage& tile, const QByteArray& out, const QString& ext);

void save_tile(const VImage& tile, const QString& target) {
  // Written under a temporary name in the same folder and renamed into place: a crash or a full
  // disk never leaves a cut-off tile under the tile's name.
  const QString partial = QFileInfo(target).absolutePath() + "/." + QFileInfo(target).fileName() + ".partial";
  const QByteArray out = QFile::encodeName(partial);
  const QString ext = QFileInfo(target).suffix().toLower();
  try {
    encode_tile(tile, out, ext);
  } catch (const vips::VError&) {
    QFile::remove(partial);
    throw;
  }
  if (std::rename(out.constData(), QFile::encodeName(target).constData()) != 0) {
    const int error = errno;
    QFile::remove(partial);
    throw vips::VError(std::strerror(error));
  }
}

void encode_tile(const VImage& tile, const QByteArray& out, const QString& ext) {
  if (ext == "jpg" || ext == "jpeg")
    tile.jpegsave(out.constData(), VImage::option()->set("Q", 95));  // the quality the splitter writes at
  else if (ext == "png")
    tile.pngsave(out.constData());
  else if (ext == "webp")
    tile.webpsave(out.constData());
  else if (ext == "tif" || ext == "tiff")
    tile.tiffsave(out.constData(), VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE));
  else
    throw vips::VError("tiles of a picture this large can be written as JPEG, PNG, WEBP or TIFF only");
}

}  // namespace

SplitOutcome split_streaming(const QString& file, const QString& output_dir, int rows, int cols, int n, bool subfolders,
                             const LabelCarry& carry) {
  ensure_vips();
  SplitOutcome out;
  const QByteArray path = QFile::encodeName(file);
  int width = 0, height = 0;
  VImage image;
  try {
    image = open_whole(path);
    width = image.width();
    height = image.height();
  } catch (const vips::VError& e) {
    out.unreadable << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(),
                                                   QString::fromLocal8Bit(e.what()).trimmed());
    vips_error_clear();
    return out;
  }
  write_tiles(
      file, output_dir, width, height, rows, cols, n, subfolders, out,
      [&](const QRect& r, const QString& target) -> QString {
        try {
          const QString ext = QFileInfo(target).suffix().toLower();
          const bool alpha_format = ext == "png" || ext == "webp" || ext == "tif" || ext == "tiff";
          save_tile(as_colour(image.crop(r.x(), r.y(), r.width(), r.height()), alpha_format), target);
          return {};
        } catch (const vips::VError& e) {
          vips_error_clear();
          return QString::fromLocal8Bit(e.what()).trimmed();
        }
      },
      carry);
  // Not one tile could be made: the picture itself cannot be read (a file that ends after its
  // header, say), and it is named as such.
  if (out.tiles == 0 && !out.failed.isEmpty()) {
    out.unreadable << QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), out.failed.first().section(": ", 1));
    out.failed.clear();
  }
  return out;
}

}  // namespace quorlan

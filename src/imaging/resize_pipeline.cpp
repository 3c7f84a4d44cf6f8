// libvips (through glib) comes before Qt, whose "signals" keyword glib's headers use as a name.
#include <vips/vips8>

#include "imaging/resize_pipeline.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QHash>
#include <QtConcurrent>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "core/atomic_file.h"

namespace quorlan {

using vips::VImage;

void ensure_vips() {
  static std::once_flag once;
  std::call_once(once, [] {
    VIPS_INIT("quorlan-studio");
    // Files are processed in parallel, one per core; each image uses a single vips thread.
    vips_concurrency_set(1);
    vips_cache_set_max(0);
  });
}

namespace {

QString format_from_loader(const std::string& loader) {
  if (loader.rfind("jpegload", 0) == 0) return QStringLiteral("JPEG");
  if (loader.rfind("pngload", 0) == 0) return QStringLiteral("PNG");
  if (loader.rfind("webpload", 0) == 0) return QStringLiteral("WEBP");
  if (loader.rfind("tiffload", 0) == 0) return QStringLiteral("TIFF");
  if (loader.rfind("gifload", 0) == 0) return QStringLiteral("GIF");
  if (loader.rfind("heifload", 0) == 0) return QStringLiteral("HEIF");
  return {};
}

QString detect_from(const VImage& image, const QString& path) {
  const char* loader = nullptr;
  if (vips_image_get_string(image.get_image(), "vips-loader", &loader) == 0 && loader) {
    const QString f = format_from_loader(loader);
    if (!f.isEmpty()) return f;
  }
  // Formats read through ImageMagick (BMP among them): the file's own magic bytes.
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    const QByteArray head = file.read(4);
    if (head.startsWith("BM")) return QStringLiteral("BMP");
  }
  return {};
}

QByteArray blob_bytes(VipsBlob* blob) {
  size_t size = 0;
  const void* data = vips_blob_get(blob, &size);
  QByteArray bytes(static_cast<const char*>(data), static_cast<qsizetype>(size));
  vips_area_unref(VIPS_AREA(blob));
  return bytes;
}

QByteArray encode_bmp(VImage image, double dpi) {
  if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
  QImage::Format format;
  switch (image.bands()) {
    case 1: format = QImage::Format_Grayscale8; break;
    case 3: format = QImage::Format_RGB888; break;
    case 4: format = QImage::Format_RGBA8888; break;
    default: throw vips::VError("BMP cannot hold an image of " + std::to_string(image.bands()) + " bands");
  }
  size_t size = 0;
  void* pixels = image.write_to_memory(&size);
  QImage wrapped(static_cast<const uchar*>(pixels), image.width(), image.height(),
                 image.width() * image.bands(), format);
  QImage copy = wrapped.copy();
  g_free(pixels);
  const int dpm = static_cast<int>(std::lround(dpi / 0.0254));
  copy.setDotsPerMeterX(dpm);
  copy.setDotsPerMeterY(dpm);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "bmp");
  if (!writer.write(copy)) throw vips::VError("BMP encoding failed: " + writer.errorString().toStdString());
  return bytes;
}

// Encodes in `encoder` format with the DPI; quality <= 0 leaves the encoder's default.
QByteArray encode(const VImage& image, const QString& encoder, int quality, double dpi) {
  const QString e = encoder.toUpper();
  if (e == "JPEG" || e == "JPG") {
    return with_jfif_density(blob_bytes(image.jpegsave_buffer(quality > 0 ? VImage::option()->set("Q", quality) : nullptr)),
                             dpi);
  }
  if (e == "PNG") {
    // pngsave takes the resolution from the image, in pixels per millimetre; no quality for PNG.
    const VImage tagged = image.copy(VImage::option()->set("xres", dpi / 25.4)->set("yres", dpi / 25.4));
    return blob_bytes(tagged.pngsave_buffer());
  }
  if (e == "WEBP") {
    return blob_bytes(image.webpsave_buffer(quality > 0 ? VImage::option()->set("Q", quality) : nullptr));
  }
  if (e == "BMP") return encode_bmp(image, dpi);
  throw vips::VError("cannot write image format " + encoder.toStdString());
}

// Lanczos-3 to exactly width x height. A JPEG is decoded already shrunk by the largest power of
// two that keeps it at least as large as the target (the decoder's own DCT scaling), so only
// the rest of the reduction is resampled.
VImage resample(const QByteArray& path, const VImage& header, const QString& format, int width, int height) {
  int shrink = 1;
  if (format == QLatin1String("JPEG"))
    for (int f : {8, 4, 2})
      if (header.width() / f >= width && header.height() / f >= height) {
        shrink = f;
        break;
      }
  VImage source = VImage::new_from_file(
      path.constData(), shrink > 1 ? VImage::option()->set("shrink", shrink)->set("access", VIPS_ACCESS_SEQUENTIAL)
                                   : VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
  const bool alpha = source.has_alpha();
  const VipsBandFormat band_format = source.format();
  if (alpha) source = source.premultiply();
  VImage out = source.resize(static_cast<double>(width) / source.width(),
                             VImage::option()
                                 ->set("vscale", static_cast<double>(height) / source.height())
                                 ->set("kernel", VIPS_KERNEL_LANCZOS3));
  if (alpha) out = out.unpremultiply().cast(band_format);
  if (out.width() != width || out.height() != height)  // rounding of the scale: pad or trim a pixel
    out = out.embed(0, 0, width, height, VImage::option()->set("extend", VIPS_EXTEND_COPY));
  return out;
}

}  // namespace

QByteArray with_jfif_density(const QByteArray& jpeg, double dpi) {
  if (jpeg.size() < 4 || uchar(jpeg[0]) != 0xFF || uchar(jpeg[1]) != 0xD8) return jpeg;
  const int density = std::clamp(static_cast<int>(std::lround(dpi)), 1, 65535);
  const char hi = static_cast<char>(density >> 8), lo = static_cast<char>(density & 0xFF);
  // An APP0 "JFIF" segment right after SOI: set its units and densities in place.
  if (jpeg.size() > 18 && uchar(jpeg[2]) == 0xFF && uchar(jpeg[3]) == 0xE0 && jpeg.mid(6, 5) == QByteArray("JFIF\0", 5)) {
    QByteArray out = jpeg;
    out[13] = 1;  // dots per inch
    out[14] = hi;
    out[15] = lo;
    out[16] = hi;
    out[17] = lo;
    return out;
  }
  QByteArray app0("\xFF\xE0\x00\x10JFIF\x00\x01\x01", 11);
  app0 += char(1);
  app0 += hi;
  app0 += lo;
  app0 += hi;
  app0 += lo;
  app0 += QByteArray("\x00\x00", 2);
  return jpeg.left(2) + app0 + jpeg.mid(2);
}

ResizeOutcome resize_one(const QString& source, const QString& output_dir, const ResizeSettings& s) {
  ensure_vips();
  ResizeOutcome outcome;
  try {
    const QByteArray path = QFile::encodeName(source);
    VImage image = VImage::new_from_file(path.constData());
    const QString detected = detect_from(image, source);
    if (s.enable_dim) {
      QString error;
      const std::optional<TargetSize> target = target_dimensions(image.width(), image.height(), s, &error);
      if (!target) throw vips::VError(error.toStdString());
      if (target->width != image.width() || target->height != image.height())
        image = resample(path, image, detected, static_cast<int>(target->width), static_cast<int>(target->height));
    }
    // The resampled image streams from its source top to bottom once; a rotation reads it in
    // another order and the quality search encodes it several times, so both work in memory.
    if (s.rotation != 0 || s.enable_comp) image = image.copy_memory();
    if (s.rotation == 90) image = image.rot(VIPS_ANGLE_D90);
    else if (s.rotation == 180) image = image.rot(VIPS_ANGLE_D180);
    else if (s.rotation == 270) image = image.rot(VIPS_ANGLE_D270);

    const OutputChoice out = output_choice(source, output_dir, s.format, detected);
    const QString encoder = out.encoder.toUpper();
    if ((encoder == "JPEG" || encoder == "JPG") && (image.bands() == 4 || image.bands() == 2))
      image = image.extract_band(0, VImage::option()->set("n", image.bands() - 1));  // alpha dropped

    QByteArray bytes;
    if (s.enable_comp) {
      bytes = search_quality([&](int q) { return encode(image, out.encoder, q, s.dpi); }, s.target_kb * 1024).second;
    } else {
      bytes = encode(image, out.encoder, 0, s.dpi);
    }
    const QString reason = write_file_atomically(out.path, bytes, /*sync=*/false);
    if (!reason.isEmpty()) throw vips::VError(QStringLiteral("%1: %2").arg(out.path, reason).toStdString());
    outcome.output = out.path;
  } catch (const vips::VError& e) {
    outcome.error = QString::fromLocal8Bit(e.what()).trimmed();
    vips_error_clear();
  } catch (const std::exception& e) {
    outcome.error = QString::fromLocal8Bit(e.what());
  }
  return outcome;
}

BatchResult run_resize_batch(const QStringList& queue, const QString& output_dir, const ResizeSettings& s,
                             const std::function<void(int)>& on_file_done) {
  ensure_vips();
  QVector<QVector<int>> groups;
  QHash<QString, int> group_of;
  for (int i = 0; i < queue.size(); ++i) {
    const QString key = output_choice(queue[i], output_dir, s.format, QString()).path;
    const auto it = group_of.constFind(key);
    if (it == group_of.cend()) {
      group_of.insert(key, groups.size());
      groups.append(QVector<int>{i});
    } else {
      groups[*it].append(i);
    }
  }
  std::atomic<int> done{0};
  std::atomic<int> written{0};
  std::mutex errors_mutex;
  QStringList errors;
  QtConcurrent::blockingMap(groups, [&](const QVector<int>& group) {
    for (int i : group) {
      const ResizeOutcome outcome = resize_one(queue[i], output_dir, s);
      if (outcome.error.isEmpty()) {
        ++written;
      } else {
        const std::lock_guard<std::mutex> lock(errors_mutex);
        errors << outcome.error;
        std::printf("Resizer Error: %s\n", outcome.error.toLocal8Bit().constData());
        std::fflush(stdout);
      }
      const int finished = ++done;
      if (on_file_done) on_file_done(finished);
    }
  });
  return {written.load(), errors};
}

}  // namespace quorlan

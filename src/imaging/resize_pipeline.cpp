// libvips (through glib) comes before Qt, whose "signals" keyword glib's headers use as a name.
#include <vips/vips8>

#include "core/work_pool.h"
#include "imaging/resize_pipeline.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QImageWriter>
#include <QScopeGuard>
#include <QSet>
#include <QtConcurrent>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <numeric>

#include "core/atomic_file.h"
#include "core/class_names.h"
#include "core/dataset_reader.h"
#include "core/label_geometry.h"

namespace quorlan {

using vips::VImage;
using vips::VOption;

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

// libvips compiles vector code (liborc) when it builds a resize and frees it when the pipeline is
// released. Debian's liborc 0.4.33 allocates code memory under its own lock but frees it without
// one (orc_code_free merges free chunks unlocked), so a pipeline released while another is built
// corrupts its chunk list: a SIGSEGV in orc_code_allocate_codemem or a heap abort. Pipelines are
// built and released under this lock; their pixel work runs outside it.
std::mutex vector_code_mutex;

// `work` (the pixel work of a built pipeline) with `lock` released; locked again after, also when
// `work` throws, so the pipeline's images are released under it.
template <typename Work>
auto unlocked(std::unique_lock<std::mutex>& lock, Work&& work) {
  lock.unlock();
  const auto relock = qScopeGuard([&] { lock.lock(); });
  return work();
}

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

void put16(QByteArray& out, int v) {
  out += char(v & 0xFF);
  out += char((v >> 8) & 0xFF);
}

void put32(QByteArray& out, quint32 v) {
  for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

// A 32-bit BMP with its alpha (a BITMAPV4HEADER with bit-field masks, which Qt's own BMP writer
// cannot write: it always writes 24 bits).
QByteArray encode_bmp_with_alpha(const VImage& image, int dpm) {
  const int w = image.width(), h = image.height();
  size_t size = 0;
  auto* pixels = static_cast<uchar*>(image.write_to_memory(&size));
  const quint32 data_size = static_cast<quint32>(w) * static_cast<quint32>(h) * 4u;
  QByteArray out;
  out.reserve(qsizetype{14 + 108} + qsizetype{data_size});
  out += "BM";
  put32(out, 14 + 108 + data_size);
  put32(out, 0);
  put32(out, 14 + 108);
  put32(out, 108);
  put32(out, static_cast<quint32>(w));
  put32(out, static_cast<quint32>(h));  // bottom-up rows
  put16(out, 1);
  put16(out, 32);
  put32(out, 3);  // BI_BITFIELDS
  put32(out, data_size);
  put32(out, static_cast<quint32>(dpm));
  put32(out, static_cast<quint32>(dpm));
  put32(out, 0);
  put32(out, 0);
  for (quint32 mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) put32(out, mask);
  put32(out, 0x73524742u);  // "sRGB"
  out += QByteArray(36 + 12, '\0');
  for (int y = h - 1; y >= 0; --y) {
    const uchar* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(w) * 4u;
    for (int x = 0; x < w; ++x) {
      const uchar* p = row + x * 4;
      out += char(p[2]);
      out += char(p[1]);
      out += char(p[0]);
      out += char(p[3]);
    }
  }
  g_free(pixels);
  return out;
}

QByteArray encode_bmp(VImage image, double dpi) {
  if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
  const int dpm = static_cast<int>(std::lround(dpi / 0.0254));
  if (image.bands() == 2)
    image = image.extract_band(0).bandjoin({image.extract_band(0), image.extract_band(0), image.extract_band(1)});
  if (image.bands() == 4) return encode_bmp_with_alpha(image, dpm);
  QImage::Format format;
  switch (image.bands()) {
    case 1:
      format = QImage::Format_Grayscale8;
      break;
    case 3:
      format = QImage::Format_RGB888;
      break;
    default:
      throw vips::VError("BMP cannot hold an image of " + std::to_string(image.bands()) + " bands");
  }
  size_t size = 0;
  void* pixels = image.write_to_memory(&size);
  QImage wrapped(static_cast<const uchar*>(pixels), image.width(), image.height(), image.width() * image.bands(),
                 format);
  QImage copy = wrapped.copy();
  g_free(pixels);
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
    // No inherited metadata (GPS, maker notes, an old thumbnail, an orientation tag): the JFIF
    // density is then the one resolution any reader sees.
    VOption* options = VImage::option()->set("strip", true);
    if (quality > 0) options->set("Q", quality);
    return with_jfif_density(blob_bytes(image.jpegsave_buffer(options)), dpi);
  }
  if (e == "PNG") {
    // pngsave takes the resolution from the image, in pixels per millimetre; no quality for PNG.
    const VImage tagged = image.copy(VImage::option()->set("xres", dpi / 25.4)->set("yres", dpi / 25.4));
    return blob_bytes(tagged.pngsave_buffer(VImage::option()->set("strip", true)));
  }
  if (e == "WEBP") {
    VOption* options = VImage::option()->set("strip", true);
    if (quality > 0) options->set("Q", quality);
    return blob_bytes(image.webpsave_buffer(options));
  }
  if (e == "BMP") return encode_bmp(image, dpi);
  if (e == "TIFF" || e == "TIF") {
    // Lossless, with the resolution in pixels per millimetre as libvips keeps it.
    const VImage tagged = image.copy(VImage::option()->set("xres", dpi / 25.4)->set("yres", dpi / 25.4));
    return blob_bytes(tagged.tiffsave_buffer(
        VImage::option()->set("strip", true)->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE)));
  }
  throw vips::VError("cannot write image format " + encoder.toStdString());
}

// Loads for pixels: a truncated or damaged file is an error, never a half-grey success.
VOption* load_options(int shrink = 1) {
  VOption* options = VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
  if (shrink > 1) options->set("shrink", shrink);
  return options;
}

int orientation_of(const VImage& image) {
  if (vips_image_get_typeof(image.get_image(), VIPS_META_ORIENTATION) == 0) return 1;
  return image.get_int(VIPS_META_ORIENTATION);
}

// Lanczos-3 to exactly width x height (of the upright picture). A JPEG is decoded already
// shrunk by the decoder's own DCT scaling, but only as far as keeps 1.5 times the target size,
// so the Lanczos filter still has the detail it needs to remove what would alias; no box
// pre-shrink.
VImage resample(const QByteArray& path, const VImage& header, const QString& format, int width, int height) {
  const bool turned = orientation_of(header) >= 5;  // the stored picture is the upright one turned
  const int stored_w = turned ? height : width, stored_h = turned ? width : height;
  int shrink = 1;
  if (format == QLatin1String("JPEG"))
    for (int f : {8, 4, 2})
      if (2 * (header.width() / f) >= 3 * stored_w && 2 * (header.height() / f) >= 3 * stored_h) {
        shrink = f;
        break;
      }
  VImage source = VImage::new_from_file(path.constData(), load_options(shrink)).autorot();
  const bool alpha = source.has_alpha();
  const VipsBandFormat band_format = source.format();
  if (alpha) source = source.premultiply();
  VImage out = source.resize(static_cast<double>(width) / source.width(),
                             VImage::option()
                                 ->set("vscale", static_cast<double>(height) / source.height())
                                 ->set("kernel", VIPS_KERNEL_LANCZOS3)
                                 ->set("gap", 0.0));
  if (alpha) out = out.unpremultiply().cast(band_format);
  if (out.width() != width || out.height() != height)  // rounding of the scale: pad or trim a pixel
    out = out.embed(0, 0, width, height, VImage::option()->set("extend", VIPS_EXTEND_COPY));
  return out;
}

// Pixels as sRGB: CMYK (through its embedded profile, else a standard CMYK profile) and any
// picture carrying its own profile are converted, since the output carries no profile.
VImage to_srgb(VImage image) {
  const bool profiled = vips_image_get_typeof(image.get_image(), VIPS_META_ICC_NAME) != 0;
  if (image.interpretation() == VIPS_INTERPRETATION_CMYK) {
    image = image.icc_transform("srgb", VImage::option()->set("embedded", true)->set("input_profile", "cmyk"));
  } else if (profiled && image.bands() >= 3) {
    try {
      image = image.icc_transform("srgb", VImage::option()->set("embedded", true));
    } catch (const vips::VError&) {
      vips_error_clear();  // a profile that cannot be used: the pixels stay as they are
    }
  }
  if (image.format() != VIPS_FORMAT_UCHAR && image.interpretation() != VIPS_INTERPRETATION_RGB16 &&
      image.interpretation() != VIPS_INTERPRETATION_GREY16)
    image = image.cast(VIPS_FORMAT_UCHAR);
  return image;
}

QByteArray resized_bytes(const QString& source, const QString& output_dir, const ResizeSettings& s,
                         const QString& output_path, OutputChoice& out) {
  // Taken before the images are made, so it is released after they are.
  std::unique_lock<std::mutex> lock(vector_code_mutex);
  const QByteArray path = QFile::encodeName(source);
  const VImage header = VImage::new_from_file(path.constData(), load_options());
  const QString detected = detect_from(header, source);
  // The output carries no orientation tag: its pixels are turned upright, and the sizes asked
  // for are those of the upright picture.
  const bool turned = orientation_of(header) >= 5;
  const int upright_w = turned ? header.height() : header.width();
  const int upright_h = turned ? header.width() : header.height();
  VImage image;
  std::optional<TargetSize> target;
  if (s.enable_dim) {
    const Expected<TargetSize> planned = target_dimensions(upright_w, upright_h, s);
    if (!planned) throw vips::VError(planned.error().toStdString());
    target = *planned;
  }
  if (target && (target->width != upright_w || target->height != upright_h))
    image = resample(path, header, detected, static_cast<int>(target->width), static_cast<int>(target->height));
  else
    image = header.autorot();
  image = to_srgb(image);
  // The resampled image streams from its source top to bottom once; a rotation reads it in
  // another order and the quality search encodes it several times, so both work in memory.
  if (s.rotation != 0 || s.enable_comp) image = unlocked(lock, [&] { return image.copy_memory(); });
  if (s.rotation == 90)
    image = image.rot(VIPS_ANGLE_D90);
  else if (s.rotation == 180)
    image = image.rot(VIPS_ANGLE_D180);
  else if (s.rotation == 270)
    image = image.rot(VIPS_ANGLE_D270);

  out = output_choice(source, output_dir, s.format, detected);
  if (!output_path.isEmpty()) out.path = output_path;
  const QString encoder = out.encoder.toUpper();
  if ((encoder == "JPEG" || encoder == "JPG") && image.has_alpha())
    image = image.extract_band(0, VImage::option()->set("n", image.bands() - 1));  // alpha dropped

  const QByteArray bytes = unlocked(lock, [&] {
    if (s.enable_comp)
      return search_quality([&](int q) { return encode(image, out.encoder, q, s.dpi); }, s.target_kb * 1024).second;
    return encode(image, out.encoder, 0, s.dpi);
  });
  if (bytes.isEmpty()) throw vips::VError("the encoder produced no data");
  return bytes;
}

}  // namespace

QByteArray with_jfif_density(const QByteArray& jpeg, double dpi) {
  if (jpeg.size() < 4 || uchar(jpeg[0]) != 0xFF || uchar(jpeg[1]) != 0xD8) return jpeg;
  const int density = std::clamp(static_cast<int>(std::lround(dpi)), 1, 65535);
  const char hi = static_cast<char>(density >> 8), lo = static_cast<char>(density & 0xFF);
  // An APP0 "JFIF" segment right after SOI: set its units and densities in place.
  if (jpeg.size() > 18 && uchar(jpeg[2]) == 0xFF && uchar(jpeg[3]) == 0xE0 &&
      jpeg.mid(6, 5) == QByteArray("JFIF\0", 5)) {
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

Expected<QString> resize_one(const QString& source, const QString& output_dir, const ResizeSettings& s,
                             const QString& output_path) {
  ensure_vips();
  const auto failed = [&source](const QString& why) {
    return failure(QFileInfo(source).fileName() + ": " + (why.isEmpty() ? QStringLiteral("unknown error") : why));
  };
  if (truncated_jpeg(source)) return failed(QStringLiteral("image file is truncated"));  // as the engine says it
  // libvips speaks in exceptions; they end here.
  try {
    OutputChoice out;
    const QByteArray bytes = resized_bytes(source, output_dir, s, output_path, out);
    if (const Status written = write_file_atomically(out.path, bytes, /*sync=*/false); !written)
      return failed(QStringLiteral("%1: %2").arg(out.path, written.error()));
    return out.path;
  } catch (const vips::VError& e) {
    vips_error_clear();
    return failed(QString::fromLocal8Bit(e.what()).trimmed());
  } catch (const std::exception& e) {
    return failed(QString::fromLocal8Bit(e.what()));
  }
}

// The labels of `source` beside `output`, turned by `rotation`; an empty string, or what went
// wrong. A label file already at that place is never written over.
QString carry_resized_labels(const QString& source, const QString& output, int rotation, std::atomic<int>* labelled) {
  const Expected<TurnedLabels> turned = turned_labels(source, rotation);
  const QString name = QFileInfo(source).fileName();
  if (!turned) return QStringLiteral("%1: its labels could not be read: %2").arg(name, turned.error());
  const TurnedLabels& labels = *turned;
  if (!labels.found) return {};
  const QString target = label_path_for(output);
  if (QFileInfo::exists(target))
    return QStringLiteral("%1: %2 exists and was not written over").arg(name, QDir::toNativeSeparators(target));
  const Status written = write_file_atomically(target, labels.bytes, false);
  if (!written) return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target), written.error());
  ++*labelled;
  if (labels.unreadable > 0)
    return QStringLiteral("%1: %2 label line(s) could not be read and were not carried")
        .arg(name)
        .arg(labels.unreadable);
  return {};
}

BatchResult run_resize_batch(const QStringList& queue, const QString& output_dir, const ResizeSettings& s,
                             const std::function<void(int)>& on_file_done, const std::atomic<bool>* cancel,
                             bool print_errors) {
  ensure_vips();
  // Every file has its own output, planned first: the files run in any order on all cores.
  const QStringList outputs = plan_output_paths(queue, output_dir, s.format);
  QVector<int> indices(queue.size());
  std::iota(indices.begin(), indices.end(), 0);
  std::atomic<int> done{0};
  std::atomic<int> written{0};
  std::atomic<int> labelled{0};
  std::mutex errors_mutex;
  QVector<QString> errors(queue.size());
  QVector<QString> label_problems(queue.size());
  std::atomic<int> skipped{0};
  QtConcurrent::blockingMap(&pixel_pool(), indices, [&](int i) {
    if (cancel && cancel->load()) {
      ++skipped;
      return;
    }
    Expected<QString> outcome = failure(QFileInfo(queue[i]).fileName() + ": unknown error");
    try {
      outcome = resize_one(queue[i], output_dir, s, outputs[i]);
    } catch (...) {  // one file's failure never stops the batch
    }
    if (outcome) {
      ++written;
      if (s.write_labels) {
        const QString problem = carry_resized_labels(queue[i], *outcome, s.rotation, &labelled);
        if (!problem.isEmpty()) {
          const std::lock_guard<std::mutex> lock(errors_mutex);
          label_problems[i] = problem;
        }
      }
    } else {
      const std::lock_guard<std::mutex> lock(errors_mutex);
      errors[i] = outcome.error();
      if (print_errors) {
        std::printf("Resizer Error: %s\n", outcome.error().toLocal8Bit().constData());
        std::fflush(stdout);
      }
    }
    const int finished = ++done;
    if (on_file_done) on_file_done(finished);
  });
  BatchResult result;
  result.written = written.load();
  result.labelled = labelled.load();
  result.skipped = skipped.load();
  for (const QString& e : errors)
    if (!e.isEmpty()) result.errors << e;
  for (const QString& p : label_problems)
    if (!p.isEmpty()) result.label_problems << p;
  if (result.labelled > 0) {
    QSet<QString> source_folders;
    for (const QString& source : queue) source_folders.insert(QFileInfo(source).absolutePath());
    // The names of the first source folder that has some go with the labels.
    for (const QString& folder : source_folders) {
      if (load_folder_classes(folder).names.isEmpty()) continue;
      write_class_names(folder, {QFileInfo(outputs.first()).absolutePath()}, &result.label_problems);
      break;
    }
  }
  return result;
}

}  // namespace quorlan

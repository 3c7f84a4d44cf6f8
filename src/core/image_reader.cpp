#include "core/image_reader.h"

#include <turbojpeg.h>

#include <climits>
#include <memory>
#include <opencv2/imgcodecs.hpp>

#include "core/atomic_file.h"
#include "core/image_limits.h"

namespace quorlan {

Expected<cv::Mat> read_image_bgr(const QString& path, bool keep_alpha) {
  const QString too_large = too_large_to_decode(path);
  if (!too_large.isEmpty()) return failure(too_large);
  const Expected<QByteArray> bytes = read_regular_file(path);
  if (!bytes) return failure(bytes.error());
  if (bytes->isEmpty()) return failure(QStringLiteral("not a readable image"));
  const cv::Mat raw(1, static_cast<int>(bytes->size()), CV_8UC1, const_cast<char*>(bytes->constData()));
  try {
    // A JPEG has no alpha channel: decoding it "unchanged" first would decode it twice.
    const bool jpeg = bytes->startsWith("\xFF\xD8\xFF");
    if (keep_alpha && !jpeg) {
      cv::Mat stored = cv::imdecode(raw, cv::IMREAD_UNCHANGED);
      if (!stored.empty() && stored.channels() == 4 && stored.depth() == CV_8U) return stored;
    }
    cv::Mat image = cv::imdecode(raw, cv::IMREAD_COLOR);  // EXIF orientation applied
    if (image.empty()) return failure(QStringLiteral("not a readable image"));
    return image;
  } catch (const cv::Exception& e) {  // a picture too large for the decoder, a damaged file
    return failure(QString::fromLocal8Bit(e.what()).trimmed().section('\n', 0, 0));
  } catch (const std::exception& e) {
    return failure(QString::fromLocal8Bit(e.what()));
  }
}

namespace {

// One compressor per thread, with an output buffer kept between pictures: a batch of frames then
// neither makes a compressor nor grows a fresh buffer (page by page) for each one.
struct Compressor {
  tjhandle handle = tjInitCompress();
  unsigned char* buffer = nullptr;
  unsigned long capacity = 0;
  ~Compressor() {
    tjFree(buffer);
    if (handle) tjDestroy(handle);
  }
};

// The thread's compressor with room for the largest JPEG of a `width` x `height` picture, so the
// buffer is never grown during compression; null when there is none.
Compressor* compressor_for(int width, int height, int subsampling) {
  thread_local Compressor compressor;
  if (!compressor.handle) return nullptr;
  const unsigned long needed = tjBufSize(width, height, subsampling);
  if (needed == static_cast<unsigned long>(-1) || needed > static_cast<unsigned long>(INT_MAX)) return nullptr;
  if (needed > compressor.capacity) {
    tjFree(compressor.buffer);
    compressor.buffer = tjAlloc(static_cast<int>(needed));
    compressor.capacity = compressor.buffer ? needed : 0;
    if (!compressor.buffer) return nullptr;
  }
  return &compressor;
}

QByteArray compressed(const Compressor& compressor, int ok, unsigned long size) {
  if (ok != 0) return {};
  return QByteArray(reinterpret_cast<const char*>(compressor.buffer), static_cast<qsizetype>(size));
}

}  // namespace

QByteArray encode_jpeg(const cv::Mat& image, int quality) {
  if (image.depth() != CV_8U || (image.channels() != 3 && image.channels() != 1) || image.empty()) return {};
  const bool grey = image.channels() == 1;
  const int subsampling = grey ? TJSAMP_GRAY : TJSAMP_420;
  Compressor* compressor = compressor_for(image.cols, image.rows, subsampling);
  if (!compressor) return {};
  unsigned long size = compressor->capacity;
  const int ok = tjCompress2(compressor->handle, image.data, image.cols, static_cast<int>(image.step), image.rows,
                             grey ? TJPF_GRAY : TJPF_BGR, &compressor->buffer, &size, subsampling, quality,
                             TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC);
  return compressed(*compressor, ok, size);
}

QByteArray encode_jpeg_yuv420(const YuvPlanes& picture, int quality) {
  if (picture.width <= 0 || picture.height <= 0) return {};
  Compressor* compressor = compressor_for(picture.width, picture.height, TJSAMP_420);
  if (!compressor) return {};
  unsigned long size = compressor->capacity;
  const unsigned char* planes[3] = {picture.planes[0], picture.planes[1], picture.planes[2]};
  const int ok =
      tjCompressFromYUVPlanes(compressor->handle, planes, picture.width, picture.strides, picture.height, TJSAMP_420,
                              &compressor->buffer, &size, quality, TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC);
  return compressed(*compressor, ok, size);
}

Status write_image_atomically(const QString& path, const cv::Mat& image) {
  const int dot = path.lastIndexOf('.');
  const QString suffix = (dot < 0 ? QStringLiteral(".png") : path.mid(dot)).toLower();
  if (suffix == QLatin1String(".jpg") || suffix == QLatin1String(".jpeg")) {
    const QByteArray jpeg = encode_jpeg(image);
    if (!jpeg.isEmpty()) return write_file_atomically(path, jpeg, /*sync=*/false);
  }
  const std::string extension = suffix.toStdString();
  std::vector<uchar> encoded;
  try {
    if (!cv::imencode(extension, image, encoded) || encoded.empty())
      return failure(QStringLiteral("the picture could not be encoded as %1").arg(suffix));
  } catch (const cv::Exception& e) {
    return failure(QString::fromLocal8Bit(e.what()).trimmed().section('\n', 0, 0));
  }
  return write_file_atomically(
      path, QByteArray::fromRawData(reinterpret_cast<const char*>(encoded.data()), static_cast<int>(encoded.size())),
      /*sync=*/false);
}

}  // namespace quorlan

#include "core/image_reader.h"

#include <turbojpeg.h>

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

QByteArray encode_jpeg(const cv::Mat& image, int quality) {
  if (image.depth() != CV_8U || (image.channels() != 3 && image.channels() != 1) || image.empty()) return {};
  const std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  if (!handle) return {};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool grey = image.channels() == 1;
  const int ok = tjCompress2(handle.get(), image.data, image.cols, static_cast<int>(image.step), image.rows,
                             grey ? TJPF_GRAY : TJPF_BGR, &buffer, &size, grey ? TJSAMP_GRAY : TJSAMP_420, quality,
                             TJFLAG_ACCURATEDCT);
  QByteArray bytes;
  if (ok == 0 && buffer) bytes = QByteArray(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(size));
  tjFree(buffer);
  return bytes;
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

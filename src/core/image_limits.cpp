#include "core/image_limits.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include "core/atomic_file.h"

namespace quorlan {

qint64 max_decode_pixels() {
  bool ok = false;
  const double megapixels = qEnvironmentVariable("QUORLAN_MAX_MEGAPIXELS").toDouble(&ok);
  if (ok && megapixels > 0) return static_cast<qint64>(megapixels * 1e6);
  return 256LL * 1000 * 1000;
}

QSize header_size(const QString& path) {
  if (!is_regular_file(path)) return {};  // a FIFO would block the read
  // A PNG states its size in its first chunk: read it directly, since a reader that insists on
  // the chunks after it gives nothing for a file that ends there.
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    const QByteArray head = file.read(24);
    if (head.size() == 24 && head.startsWith("\x89PNG\r\n\x1a\n") && head.mid(12, 4) == "IHDR") {
      const auto be32 = [&](int at) {
        quint32 v = 0;
        for (int k = 0; k < 4; ++k) v = (v << 8) | static_cast<uchar>(head[at + k]);
        return v;
      };
      const quint32 w = be32(16), h = be32(20);
      if (w > 0 && h > 0 && w <= 0x7FFFFFFFu && h <= 0x7FFFFFFFu)
        return QSize(static_cast<int>(w), static_cast<int>(h));
    }
    // A GIF is decoded onto its logical screen, which its first frame may not fill: the screen's
    // size is the one that bounds the decode.
    if (head.size() >= 10 && (head.startsWith("GIF87a") || head.startsWith("GIF89a"))) {
      const int w = static_cast<uchar>(head[6]) | (static_cast<uchar>(head[7]) << 8);
      const int h = static_cast<uchar>(head[8]) | (static_cast<uchar>(head[9]) << 8);
      if (w > 0 && h > 0) return QSize(w, h);
    }
  }
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  return reader.size();
}

QString too_large_to_decode(const QString& path) {
  const QSize size = header_size(path);
  if (!size.isValid()) return {};
  const qint64 pixels = static_cast<qint64>(size.width()) * size.height();
  if (pixels <= max_decode_pixels()) return {};
  return QStringLiteral(
             "%1 is %2 x %3 pixels (%4 megapixels); pictures up to %5 megapixels are opened here "
             "(QUORLAN_MAX_MEGAPIXELS raises the bound).")
      .arg(QFileInfo(path).fileName())
      .arg(size.width())
      .arg(size.height())
      .arg(pixels / 1000000)
      .arg(max_decode_pixels() / 1000000);
}

}  // namespace quorlan

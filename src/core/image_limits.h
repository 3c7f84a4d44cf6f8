#pragma once
// Pictures too large to decode whole: the size is read from the file's header first, so a
// 30000 x 30000 PNG (or a tiny file that only claims such a size) is refused in a moment
// instead of taking gigabytes and seconds.
#include <QSize>
#include <QString>

namespace quorlan {

// The largest picture, in pixels, that the annotator and the enricher decode whole: 256
// megapixels, or QUORLAN_MAX_MEGAPIXELS when set to a positive number.
qint64 max_decode_pixels();

// The width and height the file's header states; an invalid size when it cannot be read or is
// not a regular file.
QSize header_size(const QString& path);

// Why `path` is not decoded whole (its header's size is over the limit), or empty.
QString too_large_to_decode(const QString& path);

}  // namespace quorlan

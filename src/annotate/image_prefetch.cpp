#include "annotate/image_prefetch.h"

#include <QtConcurrent/QtConcurrentRun>
#include <opencv2/imgcodecs.hpp>
#include <utility>

#include "core/image_reader.h"
#include "widgets/bgr_pixmap.h"

namespace quorlan {

// One thread of its own: the neighbour in the direction of travel is decoded first and at full
// speed, and never waits behind other work of the studio.
ImagePrefetch::ImagePrefetch(Reader reader) : reader_(std::move(reader)) { pool_.setMaxThreadCount(1); }

// The pool waits for its running decodes as it goes.
ImagePrefetch::~ImagePrefetch() = default;

QFuture<DecodedImage> ImagePrefetch::decode(const QString& path) {
  const auto found = entries_.find(path);
  if (found != entries_.end()) {
    const Entry entry = found.value();
    entries_.erase(found);
    // A file replaced or rewritten since the decode started is read again.
    if (file_stamp(path) == entry.stamp) return entry.decode;
  }
  return QtConcurrent::run(&pool_, reader_, path);
}

void ImagePrefetch::keep_only(const QStringList& paths) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    // A decode no longer wanted is let go; one still waiting in the queue never starts.
    if (paths.contains(it.key())) {
      ++it;
    } else {
      it.value().decode.cancel();
      it = entries_.erase(it);
    }
  }
  for (const QString& path : paths) {
    if (path.isEmpty() || entries_.contains(path)) continue;
    Entry entry;
    entry.stamp = file_stamp(path);
    entry.decode = QtConcurrent::run(&pool_, reader_, path);
    entries_.insert(path, entry);
  }
}

void ImagePrefetch::clear() { entries_.clear(); }

DecodedImage decode_for_canvas(const QString& path) {
  DecodedImage out;
  if (const Expected<cv::Mat> read = read_image_bgr(path)) {
    out.bgr = *read;
    out.image = qimage_from_bgr(out.bgr);
  }
  return out;
}

}  // namespace quorlan

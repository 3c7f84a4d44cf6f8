#pragma once
// Decodes the neighbours of the image on screen in the background, so that stepping to one
// shows it without waiting. At most the files last asked for are held (two neighbours), and a
// decode is used only while the file on disk is still the one that was decoded.
#include <QFuture>
#include <QHash>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <functional>
#include <opencv2/core.hpp>
#include <optional>

#include "core/atomic_file.h"

namespace quorlan {

// A decoded picture, and its screen form made in the same background task.
struct DecodedImage {
  cv::Mat bgr;   // empty when the file could not be read
  QImage image;  // RGB32, for the canvas
};

class ImagePrefetch {
 public:
  using Reader = std::function<DecodedImage(const QString& path)>;
  explicit ImagePrefetch(Reader reader);
  ~ImagePrefetch();

  // The decode of `path`: the one started for the file as it is now, else a new one; finished or
  // still running. Nothing here waits for it.
  QFuture<DecodedImage> decode(const QString& path);
  // Starts decoding `paths` in their order (those not started already) and drops every other
  // file.
  void keep_only(const QStringList& paths);
  // Drops everything (another folder was opened).
  void clear();

 private:
  struct Entry {
    FileStamp stamp;
    QFuture<DecodedImage> decode;
  };
  Reader reader_;
  QHash<QString, Entry> entries_;
  QThreadPool pool_;
};

// Reads `path` as the canvas shows it; empty when it cannot be read or is too large.
DecodedImage decode_for_canvas(const QString& path);

}  // namespace quorlan

#pragma once
// A video's frames one after another, decoded by FFmpeg's libraries: a 4:2:0 frame (most videos)
// as the planes the codec gives, never converted to BGR and back for a JPEG; any other layout, or a
// phone's video stored turned, converted to BGR and turned upright. The frames, their count and
// their rate are those OpenCV's FFmpeg back end gives, without loading that back end (and the
// GStreamer it brings) into every run of the studio.
#include <QString>
#include <memory>
#include <opencv2/core.hpp>

#include "core/image_reader.h"

namespace quorlan {

// One decoded frame: either a BGR picture or the planes of a 4:2:0 one (kept alive by `owner`).
struct DecodedFrame {
  cv::Mat bgr;
  YuvPlanes yuv;
  bool full_range = true;       // the planes' levels span 0-255 (else 16-235, as TV levels)
  std::shared_ptr<void> owner;  // holds the decoder's frame while the planes are in use
  bool empty() const { return bgr.empty() && !owner; }
  // The brightness as a grey picture (sharing the frame's memory where it can).
  cv::Mat grey() const;
  // The frame as a JPEG of `quality`.
  QByteArray jpeg(int quality) const;
};

class FrameSource {
 public:
  FrameSource();
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  // False when the file cannot be read as a video at all. With `every_frame` (each one is encoded
  // after it is decoded) the decoder keeps to one thread and leaves the other cores to the
  // encoding; otherwise it takes as many as help it.
  bool open(const QString& path, bool every_frame = false);
  int frames_stated() const;  // what the container says it holds; 0 when it does not say
  double fps() const;
  // The next frame (into `frame`, whose earlier buffers it may reuse); false at the end or at a
  // frame that cannot be decoded.
  bool next(DecodedFrame& frame);

 private:
  struct Direct;
  std::unique_ptr<Direct> direct_;
};

}  // namespace quorlan

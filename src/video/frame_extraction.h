#pragma once
// A video made a folder of pictures: every n-th frame, or a number of frames a second, written as
// JPEGs named after the video and the frame's index in it (zero-padded, so the order and the
// origin stay readable), optionally without the frames that look like the one kept before. The
// frames are read by OpenCV's FFmpeg back end and encoded beside the reading.
#include <QString>
#include <QStringList>
#include <functional>

#include "core/expected.h"

namespace quorlan {

struct FrameChoice {
  int every = 1;              // keep every n-th frame...
  double fps = 0;             // ...or, when above 0, about this many frames a second of video
  bool skip_similar = false;  // leave out frames that look like the last one kept
  int jpeg_quality = 95;
};

struct FramesWritten {
  QString folder;
  QStringList files;  // in the video's order
  int frames_read = 0;
  int frames_stated = 0;  // what the container says it holds (0: it does not say)
  int skipped_similar = 0;
  bool cut_short = false;  // the frames ended well before the container said they would
  bool cancelled = false;
  // "342 frames written to traffic_frames (every 5th frame; 12 near-identical left out)." and,
  // for a cut-off video, where it ended.
  QString summary() const;
};

// `<parent>/<video name>_frames`, or `_frames_2`, `_3`, ... when that folder already holds files:
// frames written earlier (and any labels made on them) are never overwritten.
QString frames_folder_for(const QString& video, const QString& parent);
// "traffic_000120.jpg": the video's name and the frame's index, padded to `digits`.
QString frame_file_name(const QString& video_name, int index, int digits);
// Whether the frame at `index` is kept, for a video of `video_fps` frames a second.
bool keeps_frame(int index, const FrameChoice& choice, double video_fps);

// Writes the frames of `video` into frames_folder_for(video, parent). `progress(done, total)`
// hears of each frame read (total 0 when not known) and returns false to stop: the frames
// written so far stay, each complete. A file the back end cannot read fails with a message.
Expected<FramesWritten> extract_frames(const QString& video, const QString& parent, const FrameChoice& choice,
                                       const std::function<bool(int, int)>& progress = {});

}  // namespace quorlan

#include "video/frame_extraction.h"

#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrent>

#include <array>
#include <cmath>
#include <deque>

#include "core/atomic_file.h"
#include "core/image_reader.h"
#include "core/work_pool.h"
#include "dataset/dataset_qa.h"
#include "video/frame_source.h"

namespace quorlan {

namespace {
// Frames being encoded and written while the next ones are read: enough to keep both cores busy,
// few enough to bound the memory (a 4K frame is 25 MB).
constexpr int kInFlight = 4;

// Forces what was written into `folder` to the disk, once for all its files.
void sync_folder(const QString& folder) {
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::syncfs(fd);
  ::close(fd);
}

}  // namespace

QString FramesWritten::summary() const {
  QString text = QStringLiteral("%1 frame(s) written to %2").arg(files.size()).arg(QFileInfo(folder).fileName());
  if (skipped_similar > 0) text += QStringLiteral("; %1 near-identical frame(s) left out").arg(skipped_similar);
  text += '.';
  if (cut_short)
    text += QStringLiteral("\nThe video is cut off: it ends at frame %1 of the %2 it states.")
                .arg(frames_read)
                .arg(frames_stated);
  if (cancelled) text += QStringLiteral("\nStopped after frame %1.").arg(frames_read);
  return text;
}

QString frames_folder_for(const QString& video, const QString& parent) {
  const QString base = QDir(parent).filePath(QFileInfo(video).completeBaseName() + QStringLiteral("_frames"));
  QString folder = base;
  for (int n = 2; QDir(folder).exists() && !QDir(folder).isEmpty(); ++n) folder = base + QStringLiteral("_%1").arg(n);
  return folder;
}

QString frame_file_name(const QString& video_name, int index, int digits) {
  return QStringLiteral("%1_%2.jpg").arg(video_name).arg(index, digits, 10, QLatin1Char('0'));
}

bool keeps_frame(int index, const FrameChoice& choice, double video_fps) {
  if (choice.fps > 0 && video_fps > 0) {
    if (choice.fps >= video_fps) return true;
    // Frame i is kept when the count of kept frames steps: i * fps / video_fps crosses a whole number.
    const auto slot = [&](int i) { return static_cast<long long>(std::floor(i * choice.fps / video_fps + 1e-9)); };
    return index == 0 || slot(index) != slot(index - 1);
  }
  return index % std::max(1, choice.every) == 0;
}

Expected<FramesWritten> extract_frames(const QString& video, const QString& parent, const FrameChoice& choice,
                                       const std::function<bool(int, int)>& progress) {
  const QFileInfo info(video);
  if (!info.isFile()) return failure(QStringLiteral("%1 does not exist.").arg(video));
  FrameSource source;
  if (!source.open(info.absoluteFilePath(), choice.fps <= 0 && choice.every <= 1))
    return failure(QStringLiteral("%1 could not be read as a video (its format or codec is not one OpenCV's FFmpeg "
                                  "back end reads).")
                       .arg(info.fileName()));
  FramesWritten out;
  out.frames_stated = source.frames_stated();
  const double video_fps = source.fps();
  out.folder = frames_folder_for(video, parent);
  if (!QDir().mkpath(out.folder)) return failure(QStringLiteral("%1 could not be made.").arg(out.folder));
  const QString name = info.completeBaseName();
  const int digits = std::max(6, static_cast<int>(QString::number(std::max(1, out.frames_stated)).size()));
  const int quality = std::clamp(choice.jpeg_quality, 1, 100);

  std::deque<QFuture<Status>> writing;
  QString failed;
  auto finish_one = [&] {
    const Status written = writing.front().result();
    writing.pop_front();
    if (!written && failed.isEmpty()) failed = written.error();
  };
  std::optional<PictureHash> last_kept;
  // Each frame is decoded straight into a buffer that a frame written earlier has left: the buffer of
  // the frame kept next was last handed to the write kInFlight + 1 writes ago, which has landed,
  // since no more than kInFlight are ever in flight. No frame is copied, and no buffer made anew.
  std::array<DecodedFrame, kInFlight + 1> buffers;
  std::size_t kept = 0;
  for (int index = 0;; ++index) {
    DecodedFrame& frame = buffers[kept % buffers.size()];
    if (!source.next(frame) || frame.empty()) break;
    out.frames_read = index + 1;
    if (progress && !progress(out.frames_read, out.frames_stated)) {
      out.cancelled = true;
      break;
    }
    if (!keeps_frame(index, choice, video_fps)) continue;
    if (choice.skip_similar) {
      const std::optional<PictureHash> hash = perceptual_hash_of(frame.grey());
      if (hash && last_kept && alike(*hash, *last_kept)) {
        ++out.skipped_similar;
        continue;
      }
      last_kept = hash;
    }
    const QString path = QDir(out.folder).filePath(frame_file_name(name, index, digits));
    out.files << path;
    // The frame is encoded and written on the pool while the next is read; each file lands whole
    // (a temporary renamed into place), and the folder is forced to the disk once at the end.
    ++kept;
    writing.push_back(QtConcurrent::run(&work_pool(), [picture = frame, path, quality]() -> Status {
      const QByteArray jpeg = picture.jpeg(quality);
      if (jpeg.isEmpty()) return failure(QStringLiteral("a frame could not be encoded"));
      return write_file_atomically(path, jpeg, false);
    }));
    while (static_cast<int>(writing.size()) > kInFlight) finish_one();
    if (!failed.isEmpty()) break;
  }
  while (!writing.empty()) finish_one();
  if (!failed.isEmpty()) return failure(QStringLiteral("The frames could not be written: %1").arg(failed));
  // A container may overstate its count by a frame or two; a video cut off falls well short.
  out.cut_short = !out.cancelled && out.frames_stated > 0 && out.frames_read < out.frames_stated - 2;
  sync_folder(out.folder);
  return out;
}

}  // namespace quorlan

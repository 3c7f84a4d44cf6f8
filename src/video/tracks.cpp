#include "video/tracks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <numeric>
#include <opencv2/tracking.hpp>

#include "core/atomic_file.h"
#include "core/image_files.h"
#include "core/image_reader.h"
#include "core/label_files.h"

namespace quorlan {

namespace {

// Six decimals are written: two boxes this close are one.
constexpr double kSameBox = 2e-6;

bool same_box(const NormBox& a, const NormBox& b) {
  return std::abs(a.cx - b.cx) <= kSameBox && std::abs(a.cy - b.cy) <= kSameBox && std::abs(a.w - b.w) <= kSameBox &&
         std::abs(a.h - b.h) <= kSameBox;
}

bool line_is(const LabelLine& line, int class_id, const NormBox& box) {
  return line.is_box() && line.class_token == QByteArray::number(class_id) &&
         same_box({line.values[0], line.values[1], line.values[2], line.values[3]}, box);
}

QString box_line(int class_id, const NormBox& b) {
  return QStringLiteral("%1 %2 %3 %4 %5").arg(class_id).arg(fixed6(b.cx), fixed6(b.cy), fixed6(b.w), fixed6(b.h));
}

// The changes of one frame's label file: filled boxes taken out, boxes added.
struct FrameEdit {
  QVector<TrackBox> remove;
  QVector<TrackBox> add;
};

Expected<QByteArray> read_label_bytes(const QString& path) {
  QFile f(path);
  if (!f.exists()) return QByteArray();
  if (!f.open(QIODevice::ReadOnly)) return failure(QStringLiteral("%1: %2").arg(path, f.errorString()));
  return f.readAll();
}

// Rewrites a label file with `edit`, every other line kept byte for byte.
Status apply_edit(const QString& label_path, const FrameEdit& edit) {
  Expected<QByteArray> bytes = read_label_bytes(label_path);
  if (!bytes) return failure(bytes.error());
  QByteArray eol = "\n";
  const QVector<LabelLine> lines = split_label_lines(*bytes, &eol);
  QVector<TrackBox> to_remove = edit.remove;
  QByteArray out;
  for (const LabelLine& line : lines) {
    const auto match = std::find_if(to_remove.begin(), to_remove.end(),
                                    [&](const TrackBox& t) { return line_is(line, t.class_id, t.box); });
    if (match != to_remove.end()) {
      to_remove.erase(match);
      continue;
    }
    out += line.raw + line.end;
  }
  if (!out.isEmpty() && !out.endsWith('\n') && !out.endsWith('\r')) out += eol;
  for (const TrackBox& t : edit.add) out += box_line(t.class_id, t.box).toLatin1() + eol;
  return write_file_atomically(label_path, out);
}

// Whether the label file of a frame still holds a box (a keyframe another tool may have changed).
bool holds(const QVector<LabelLine>& lines, const TrackBox& t) {
  return std::any_of(lines.begin(), lines.end(), [&](const LabelLine& l) { return line_is(l, t.class_id, t.box); });
}

// Writes the edits (label files first, the sidecar last) and counts them.
Status write_edits(const QString& label_folder, const FrameList& frames, const QMap<int, FrameEdit>& edits,
                   const Tracks& tracks, FilledIn& filled) {
  for (auto it = edits.cbegin(); it != edits.cend(); ++it) {
    const Status written = apply_edit(label_path_for(frames.pictures[it.key()]), it.value());
    if (!written) return written;
    filled.boxes += static_cast<int>(it.value().add.size());
    ++filled.frames;
  }
  return write_tracks(label_folder, tracks);
}

QString name_of(const QString& picture) { return QFileInfo(picture).fileName(); }

// The tracks' entries of a frame other than the filled boxes of `track`, which are handed back.
QVector<TrackBox> take_filled(QVector<TrackBox>& entries, int track) {
  QVector<TrackBox> filled;
  QVector<TrackBox> kept;
  for (const TrackBox& t : entries) (t.track == track && !t.keyframe ? filled : kept).append(t);
  entries = kept;
  return filled;
}

bool has_keyframe(const QVector<TrackBox>& entries, int track) {
  return std::any_of(entries.begin(), entries.end(), [&](const TrackBox& t) { return t.track == track && t.keyframe; });
}

}  // namespace

QVector<int> Tracks::ids() const {
  QSet<int> seen;
  for (const QVector<TrackBox>& boxes : frames)
    for (const TrackBox& t : boxes) seen.insert(t.track);
  QVector<int> out(seen.begin(), seen.end());
  std::sort(out.begin(), out.end());
  return out;
}

Expected<Tracks> read_tracks(const QString& label_folder) {
  QFile f(QDir(label_folder).filePath(QString::fromLatin1(kTracksFile)));
  Tracks tracks;
  if (!f.exists()) return tracks;
  if (!f.open(QIODevice::ReadOnly)) return failure(QStringLiteral("%1: %2").arg(f.fileName(), f.errorString()));
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
  if (!doc.isObject())
    return failure(
        QStringLiteral("%1 is not a tracks file the studio reads: %2").arg(f.fileName(), error.errorString()));
  const QJsonObject frames = doc.object().value(QStringLiteral("frames")).toObject();
  for (auto it = frames.begin(); it != frames.end(); ++it) {
    QVector<TrackBox> boxes;
    const QJsonArray listed = it.value().toArray();
    for (const auto& v : listed) {
      const QJsonObject o = v.toObject();
      const QJsonArray b = o.value(QStringLiteral("box")).toArray();
      if (b.size() != 4) continue;
      boxes.append({o.value(QStringLiteral("track")).toInt(), o.value(QStringLiteral("class")).toInt(),
                    NormBox{b[0].toDouble(), b[1].toDouble(), b[2].toDouble(), b[3].toDouble()},
                    o.value(QStringLiteral("keyframe")).toBool(true)});
    }
    if (!boxes.isEmpty()) tracks.frames.insert(it.key(), boxes);
  }
  return tracks;
}

Status write_tracks(const QString& label_folder, const Tracks& tracks) {
  const QString path = QDir(label_folder).filePath(QString::fromLatin1(kTracksFile));
  if (tracks.frames.isEmpty() && !QFile::exists(path)) return {};
  QJsonObject frames;
  for (auto it = tracks.frames.cbegin(); it != tracks.frames.cend(); ++it) {
    QJsonArray boxes;
    for (const TrackBox& t : it.value())
      boxes.append(QJsonObject{{"track", t.track},
                               {"class", t.class_id},
                               {"box", QJsonArray{t.box.cx, t.box.cy, t.box.w, t.box.h}},
                               {"keyframe", t.keyframe}});
    frames.insert(it.key(), boxes);
  }
  return write_file_atomically(path, QJsonDocument(QJsonObject{{"version", 1}, {"frames", frames}}).toJson());
}

FrameList frames_of(const QString& folder) {
  FrameList out;
  const QStringList pictures = list_folder_images(folder);
  static const QRegularExpression numbered(QStringLiteral("_(\\d+)$"));
  QVector<int> indices;
  for (const QString& p : pictures) {
    const QRegularExpressionMatch m = numbered.match(QFileInfo(p).completeBaseName());
    if (!m.hasMatch()) break;
    indices << m.captured(1).toInt();
  }
  std::vector<int> order(static_cast<std::size_t>(pictures.size()));
  std::iota(order.begin(), order.end(), 0);
  const bool by_index = indices.size() == pictures.size();
  if (by_index) std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return indices[a] < indices[b]; });
  for (int i : order) {
    out.pictures << pictures[i];
    out.indices << (by_index ? indices[i] : static_cast<int>(out.indices.size()));
  }
  return out;
}

Expected<FilledIn> interpolate_tracks(const QString& folder, std::optional<int> only) {
  const FrameList frames = frames_of(folder);
  const QString label_folder = label_folder_for(folder);
  Expected<Tracks> read = read_tracks(label_folder);
  if (!read) return failure(read.error());
  Tracks tracks = *read;
  FilledIn filled;
  QMap<int, FrameEdit> edits;
  for (const int track : tracks.ids()) {
    if (only && *only != track) continue;
    // The track's keyframes still in their label files, in the video's order.
    QVector<QPair<int, TrackBox>> keys;
    for (int pos = 0; pos < frames.pictures.size(); ++pos) {
      const auto entries = tracks.frames.constFind(name_of(frames.pictures[pos]));
      if (entries == tracks.frames.cend()) continue;
      for (const TrackBox& t : *entries) {
        if (t.track != track || !t.keyframe) continue;
        Expected<QByteArray> bytes = read_label_bytes(label_path_for(frames.pictures[pos]));
        if (!bytes) return failure(bytes.error());
        if (holds(split_label_lines(*bytes), t)) keys.append({pos, t});
      }
    }
    for (int k = 0; k + 1 < keys.size(); ++k) {
      const auto& [a, from] = keys[k];
      const auto& [b, to] = keys[k + 1];
      if (b - a < 2) continue;
      const double span = frames.indices[b] - frames.indices[a];
      for (int pos = a + 1; pos < b; ++pos) {
        const double t = span > 0 ? (frames.indices[pos] - frames.indices[a]) / span : double(pos - a) / (b - a);
        const NormBox box{from.box.cx + t * (to.box.cx - from.box.cx), from.box.cy + t * (to.box.cy - from.box.cy),
                          from.box.w + t * (to.box.w - from.box.w), from.box.h + t * (to.box.h - from.box.h)};
        QVector<TrackBox>& entries = tracks.frames[name_of(frames.pictures[pos])];
        FrameEdit& edit = edits[pos];
        edit.remove += take_filled(entries, track);
        const TrackBox added{track, from.class_id, box, false};
        edit.add << added;
        entries << added;
      }
      filled.tracks
          << QStringLiteral("track %1: frames %2 to %3").arg(track).arg(frames.indices[a]).arg(frames.indices[b]);
    }
  }
  const Status written = write_edits(label_folder, frames, edits, tracks, filled);
  if (!written) return failure(written.error());
  return filled;
}

Expected<FilledIn> track_forward(const QString& folder, int from, const QRectF& box, int class_id, int track,
                                 std::optional<int> to, TrackerKind kind, const std::function<bool(int)>& progress) {
  const FrameList frames = frames_of(folder);
  if (from < 0 || from >= frames.pictures.size())
    return failure(QStringLiteral("The folder has no frame %1 (it holds %2).").arg(from).arg(frames.pictures.size()));
  const QString label_folder = label_folder_for(folder);
  Expected<Tracks> read = read_tracks(label_folder);
  if (!read) return failure(read.error());
  Tracks tracks = *read;
  Expected<cv::Mat> first = read_image_bgr(frames.pictures[from]);
  if (!first) return failure(first.error());
  const QRectF whole(0, 0, first->cols, first->rows);
  const QRectF start = box.normalized() & whole;
  if (start.width() < 2 || start.height() < 2) return failure(QStringLiteral("The box is not on the picture."));
  cv::Ptr<cv::Tracker> tracker;
  if (kind == TrackerKind::Kcf)
    tracker = cv::TrackerKCF::create();
  else
    tracker = cv::TrackerCSRT::create();
  auto to_norm = [](const QRectF& r, const cv::Mat& m) {
    return NormBox::of(QRectF(r.x() / m.cols, r.y() / m.rows, r.width() / m.cols, r.height() / m.rows));
  };
  QMap<int, FrameEdit> edits;
  // The box it starts from is a keyframe of the track (added to the file unless it is there already).
  const TrackBox key{track, class_id, to_norm(start, *first), true};
  {
    QVector<TrackBox>& entries = tracks.frames[name_of(frames.pictures[from])];
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const TrackBox& t) { return t.track == track && same_box(t.box, key.box); }),
                  entries.end());
    entries << key;
    Expected<QByteArray> bytes = read_label_bytes(label_path_for(frames.pictures[from]));
    if (!bytes) return failure(bytes.error());
    if (!holds(split_label_lines(*bytes), key)) edits[from].add << key;
  }
  FilledIn filled;
  cv::Rect2d current(start.x(), start.y(), start.width(), start.height());
  tracker->init(*first, cv::Rect(current));
  const int last =
      to ? std::min(*to, static_cast<int>(frames.pictures.size()) - 1) : static_cast<int>(frames.pictures.size()) - 1;
  int pos = from + 1;
  for (; pos <= last; ++pos) {
    const QString name = name_of(frames.pictures[pos]);
    if (has_keyframe(tracks.frames.value(name), track)) {
      filled.stop =
          QStringLiteral("Stopped at the next keyframe of track %1 (frame %2).").arg(track).arg(frames.indices[pos]);
      break;
    }
    if (progress && !progress(pos - from)) {
      filled.stop = QStringLiteral("Stopped at frame %1.").arg(frames.indices[pos]);
      break;
    }
    Expected<cv::Mat> frame = read_image_bgr(frames.pictures[pos]);
    if (!frame) return failure(frame.error());
    cv::Rect found;
    if (!tracker->update(*frame, found)) {
      filled.stop = QStringLiteral("The tracker lost the object at frame %1.").arg(frames.indices[pos]);
      break;
    }
    const QRectF seen = QRectF(found.x, found.y, found.width, found.height);
    const QRectF inside = seen & QRectF(0, 0, frame->cols, frame->rows);
    // Mostly outside: the object has left the picture.
    if (inside.width() * inside.height() < 0.5 * seen.width() * seen.height()) {
      filled.stop = QStringLiteral("The object left the picture at frame %1.").arg(frames.indices[pos]);
      break;
    }
    QVector<TrackBox>& entries = tracks.frames[name];
    FrameEdit& edit = edits[pos];
    edit.remove += take_filled(entries, track);
    const TrackBox added{track, class_id, to_norm(inside, *frame), false};
    edit.add << added;
    entries << added;
  }
  if (filled.stop.isEmpty())
    filled.stop = to && pos > *to ? QStringLiteral("Reached frame %1.").arg(frames.indices[last])
                                  : QStringLiteral("Reached the last frame.");
  filled.tracks << QStringLiteral("track %1: frames %2 to %3")
                       .arg(track)
                       .arg(frames.indices[from])
                       .arg(frames.indices[std::max(from, pos - 1)]);
  const Status written = write_edits(label_folder, frames, edits, tracks, filled);
  if (!written) return failure(written.error());
  return filled;
}

}  // namespace quorlan

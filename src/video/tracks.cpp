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
#include "core/class_edit.h"
#include "core/image_files.h"
#include "core/image_reader.h"
#include "core/label_files.h"

namespace quorlan {

namespace {

// Six decimals are written: two boxes this close are one.
constexpr double kSameBox = 2e-6;

bool line_is(const LabelLine& line, int class_id, const NormBox& box) {
  return line.is_box() && line.class_token == QByteArray::number(class_id) &&
         box.near({line.values[0], line.values[1], line.values[2], line.values[3]});
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

// A label file's bytes with `edit` made, every other line kept byte for byte.
QByteArray edited_bytes(const QByteArray& bytes, const FrameEdit& edit) {
  QByteArray eol = "\n";
  const QVector<LabelLine> lines = split_label_lines(bytes, &eol);
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
  return out;
}

// A file's bytes, none when there is no file.
Expected<std::optional<QByteArray>> bytes_if_any(const QString& path) {
  if (!QFileInfo::exists(path)) return std::optional<QByteArray>();
  Expected<QByteArray> now = read_label_bytes(path);
  if (!now) return failure(now.error());
  return std::optional<QByteArray>(*now);
}

// One file of a fill: its bytes `now` (none: it is made) and `after`.
void plan_file(TrackFill& fill, const QString& path, const std::optional<QByteArray>& now, const QByteArray& after) {
  if (!now)
    fill.created << path;
  else if (*now == after)
    return;
  else
    fill.before.insert(path, *now);
  fill.after.insert(path, after);
}

// Whether the label file of a frame still holds a box (a keyframe another tool may have changed).
bool holds(const QVector<LabelLine>& lines, const TrackBox& t) {
  return std::any_of(lines.begin(), lines.end(), [&](const LabelLine& l) { return line_is(l, t.class_id, t.box); });
}

// The fill of `edits` (and the track file holding `tracks`), counted.
Expected<TrackFill> plan_edits(const QString& label_folder, const FrameList& frames, const QMap<int, FrameEdit>& edits,
                               const Tracks& tracks, FilledIn filled) {
  TrackFill fill;
  for (auto it = edits.cbegin(); it != edits.cend(); ++it) {
    const QString path = label_path_for(frames.pictures[it.key()]);
    const Expected<std::optional<QByteArray>> now = bytes_if_any(path);
    if (!now) return failure(now.error());
    plan_file(fill, path, *now, edited_bytes(now->value_or(QByteArray()), it.value()));
    filled.boxes += static_cast<int>(it.value().add.size());
    ++filled.frames;
  }
  if (!edits.isEmpty()) {
    const QString track_file = QDir(label_folder).filePath(QString::fromLatin1(kTracksFile));
    const Expected<std::optional<QByteArray>> now = bytes_if_any(track_file);
    if (!now) return failure(now.error());
    plan_file(fill, track_file, *now, tracks_bytes(tracks));
  }
  fill.filled = std::move(filled);
  return fill;
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

bool NormBox::near(const NormBox& o) const {
  return std::abs(cx - o.cx) <= kSameBox && std::abs(cy - o.cy) <= kSameBox && std::abs(w - o.w) <= kSameBox &&
         std::abs(h - o.h) <= kSameBox;
}

NormBox NormBox::rounded() const {
  const auto six = [](double v) { return fixed6(v).toDouble(); };
  return {six(cx), six(cy), six(w), six(h)};
}

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

QByteArray tracks_bytes(const Tracks& tracks) {
  QJsonObject frames;
  for (auto it = tracks.frames.cbegin(); it != tracks.frames.cend(); ++it) {
    QJsonArray boxes;
    for (const TrackBox& t : it.value())
      boxes.append(QJsonObject{{"track", t.track},
                               {"class", t.class_id},
                               {"box", QJsonArray{t.box.cx, t.box.cy, t.box.w, t.box.h}},
                               {"keyframe", t.keyframe}});
    if (!boxes.isEmpty()) frames.insert(it.key(), boxes);
  }
  return QJsonDocument(QJsonObject{{"version", 1}, {"frames", frames}}).toJson();
}

Status write_tracks(const QString& label_folder, const Tracks& tracks) {
  const QString path = QDir(label_folder).filePath(QString::fromLatin1(kTracksFile));
  if (tracks.frames.isEmpty() && !QFile::exists(path)) return {};
  return write_file_atomically(path, tracks_bytes(tracks));
}

namespace {

const QRegularExpression& frame_number() {
  static const QRegularExpression numbered(QStringLiteral("_(\\d+)$"));
  return numbered;
}

}  // namespace

bool named_as_frames(const QStringList& pictures) {
  return !pictures.isEmpty() && std::all_of(pictures.begin(), pictures.end(), [](const QString& p) {
    return frame_number().match(QFileInfo(p).completeBaseName()).hasMatch();
  });
}

FrameList frames_of(const QString& folder) {
  FrameList out;
  const QStringList pictures = list_folder_images(folder);
  QVector<int> indices;
  for (const QString& p : pictures) {
    const QRegularExpressionMatch m = frame_number().match(QFileInfo(p).completeBaseName());
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

Expected<TrackFill> plan_interpolation(const QString& folder, std::optional<int> only) {
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
        const TrackBox added{track, from.class_id, box.rounded(), false};
        edit.add << added;
        entries << added;
      }
      filled.tracks
          << QStringLiteral("track %1: frames %2 to %3").arg(track).arg(frames.indices[a]).arg(frames.indices[b]);
    }
  }
  return plan_edits(label_folder, frames, edits, tracks, std::move(filled));
}

Expected<TrackFill> plan_following(const QString& folder, int from, const QRectF& box, int class_id, int track,
                                   std::optional<int> to, Follower& follower,
                                   const std::function<bool(int)>& progress) {
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
  auto to_norm = [](const QRectF& r, const cv::Mat& m) {
    return NormBox::of(QRectF(r.x() / m.cols, r.y() / m.rows, r.width() / m.cols, r.height() / m.rows)).rounded();
  };
  QMap<int, FrameEdit> edits;
  // The box it starts from is a keyframe of the track (added to the file unless it is there already).
  const TrackBox key{track, class_id, to_norm(start, *first), true};
  {
    QVector<TrackBox>& entries = tracks.frames[name_of(frames.pictures[from])];
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const TrackBox& t) { return t.track == track && t.box.near(key.box); }),
                  entries.end());
    entries << key;
    Expected<QByteArray> bytes = read_label_bytes(label_path_for(frames.pictures[from]));
    if (!bytes) return failure(bytes.error());
    if (!holds(split_label_lines(*bytes), key)) edits[from].add << key;
  }
  FilledIn filled;
  follower.start(*first, start);
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
    Expected<std::optional<QRectF>> found = follower.next(*frame, frames.pictures[pos]);
    if (!found) return failure(found.error());
    if (!*found) {
      filled.stop = QStringLiteral("%1 lost the object at frame %2.").arg(follower.who()).arg(frames.indices[pos]);
      break;
    }
    const QRectF seen = **found;
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
  return plan_edits(label_folder, frames, edits, tracks, std::move(filled));
}

namespace {

class TrackerFollower : public Follower {
 public:
  explicit TrackerFollower(TrackerKind kind) {
    if (kind == TrackerKind::Kcf)
      tracker_ = cv::TrackerKCF::create();
    else
      tracker_ = cv::TrackerCSRT::create();
  }
  void start(const cv::Mat& first, const QRectF& box) override {
    tracker_->init(first, cv::Rect(cv::Rect2d(box.x(), box.y(), box.width(), box.height())));
  }
  Expected<std::optional<QRectF>> next(const cv::Mat& frame, const QString&) override {
    cv::Rect found;
    if (!tracker_->update(frame, found)) return std::optional<QRectF>();
    return std::optional<QRectF>(QRectF(found.x, found.y, found.width, found.height));
  }
  QString who() const override { return QStringLiteral("The tracker"); }

 private:
  cv::Ptr<cv::Tracker> tracker_;
};

class DetectionFollower : public Follower {
 public:
  DetectionFollower(Detect detect, double min_iou) : detect_(std::move(detect)), min_iou_(min_iou) {}
  void start(const cv::Mat&, const QRectF& box) override { last_ = box; }
  Expected<std::optional<QRectF>> next(const cv::Mat&, const QString& picture) override {
    Expected<QVector<QRectF>> found = detect_(picture);
    if (!found) return failure(found.error());
    double best = min_iou_;
    std::optional<QRectF> match;
    for (const QRectF& box : *found) {
      const double overlap = iou(box, last_);
      if (overlap < best) continue;
      best = overlap;
      match = box;
    }
    if (match) last_ = *match;
    return match;
  }
  QString who() const override { return QStringLiteral("The model"); }

 private:
  Detect detect_;
  double min_iou_;
  QRectF last_;
};

}  // namespace

std::unique_ptr<Follower> tracker_follower(TrackerKind kind) { return std::make_unique<TrackerFollower>(kind); }

std::unique_ptr<Follower> detection_follower(Detect detect, double min_iou) {
  return std::make_unique<DetectionFollower>(std::move(detect), min_iou);
}

double iou(const QRectF& a, const QRectF& b) {
  const QRectF both = a.normalized() & b.normalized();
  const double common = both.width() * both.height();
  const double all = a.width() * a.height() + b.width() * b.height() - common;
  return all > 0 ? common / all : 0.0;
}

Status write_fill(const QString& folder, const TrackFill& fill) {
  if (fill.isEmpty()) return {};
  return rewrite_label_files(fill.before, fill.after, class_change_journal(folder), fill.created);
}

Expected<TrackFill> written_fill(const QString& folder, Expected<TrackFill> fill) {
  if (!fill) return fill;
  if (const Status written = write_fill(folder, *fill); !written) return failure(written.error());
  return fill;
}

Expected<FilledIn> interpolate_tracks(const QString& folder, std::optional<int> only) {
  const Expected<TrackFill> fill = written_fill(folder, plan_interpolation(folder, only));
  if (!fill) return failure(fill.error());
  return fill->filled;
}

Expected<FilledIn> track_forward(const QString& folder, int from, const QRectF& box, int class_id, int track,
                                 std::optional<int> to, TrackerKind kind, const std::function<bool(int)>& progress) {
  const std::unique_ptr<Follower> follower = tracker_follower(kind);
  const Expected<TrackFill> fill =
      written_fill(folder, plan_following(folder, from, box, class_id, track, to, *follower, progress));
  if (!fill) return failure(fill.error());
  return fill->filled;
}

}  // namespace quorlan

#include "annotate/frame_tracks.h"

#include <QFileInfo>
#include <algorithm>

#include "core/label_files.h"

namespace quorlan {

namespace {

bool same_entries(QVector<TrackBox> a, QVector<TrackBox> b) {
  if (a.size() != b.size()) return false;
  const auto by_track = [](const TrackBox& x, const TrackBox& y) { return x.track < y.track; };
  std::sort(a.begin(), a.end(), by_track);
  std::sort(b.begin(), b.end(), by_track);
  for (int i = 0; i < a.size(); ++i)
    if (a[i].track != b[i].track || a[i].class_id != b[i].class_id || a[i].keyframe != b[i].keyframe ||
        !a[i].box.near(b[i].box))
      return false;
  return true;
}

}  // namespace

std::optional<NormBox> norm_box_of(const Annotation& shape, QSize size) {
  if (!shape.is_box()) return std::nullopt;
  const QByteArray line = shape.raw.isEmpty()
                              ? format_box_line(shape.class_id, shape.points, size.width(), size.height()).toLatin1()
                              : shape.raw;
  const QVector<LabelLine> lines = split_label_lines(line);
  if (lines.size() != 1 || !lines[0].is_box()) return std::nullopt;
  const auto& v = lines[0].values;
  return NormBox{v[0], v[1], v[2], v[3]};
}

Status FrameTracks::open(const QString& label_folder) {
  label_folder_ = label_folder;
  tracks_ = {};
  picked_ = -1;
  started_ = -1;
  Expected<Tracks> read = read_tracks(label_folder);
  readable_ = static_cast<bool>(read);
  if (!read) return failure(read.error());
  tracks_ = *read;
  return {};
}

int FrameTracks::start_track() {
  const QVector<int> ids = tracks_.ids();
  started_ = std::max(ids.isEmpty() ? 0 : ids.last(), started_) + 1;
  picked_ = started_;
  return started_;
}

int FrameTracks::class_of(int track) const {
  for (const QVector<TrackBox>& boxes : tracks_.frames)
    for (const TrackBox& t : boxes)
      if (t.track == track) return t.class_id;
  return -1;
}

void FrameTracks::mark(const QString& frame, QVector<Annotation>& shapes, QSize size) const {
  const auto entries = tracks_.frames.constFind(frame);
  if (entries == tracks_.frames.cend()) return;
  QVector<bool> taken(shapes.size(), false);
  for (const TrackBox& t : *entries) {
    for (int i = 0; i < shapes.size(); ++i) {
      if (taken[i] || shapes[i].class_id != t.class_id) continue;
      const std::optional<NormBox> box = norm_box_of(shapes[i], size);
      if (!box || !box->near(t.box)) continue;
      taken[i] = true;
      shapes[i].track = t.track;
      shapes[i].filled = !t.keyframe;
      break;
    }
  }
}

bool FrameTracks::follow(const QString& frame, const QVector<Annotation>& shapes, QSize size) {
  if (!writable()) return false;
  QVector<TrackBox> now;
  for (const Annotation& shape : shapes) {
    if (shape.track < 0) continue;
    if (const std::optional<NormBox> box = norm_box_of(shape, size))
      now.append({shape.track, shape.class_id, *box, !shape.filled});
  }
  if (same_entries(now, tracks_.frames.value(frame))) return false;
  if (now.isEmpty())
    tracks_.frames.remove(frame);
  else
    tracks_.frames.insert(frame, now);
  return true;
}

QVector<FrameTracks::Summary> FrameTracks::summaries() const {
  QVector<Summary> out;
  for (const int id : tracks_.ids()) out.append({id, class_of(id), 0, 0});
  for (const QVector<TrackBox>& boxes : tracks_.frames)
    for (const TrackBox& t : boxes) {
      const auto row = std::find_if(out.begin(), out.end(), [&](const Summary& s) { return s.track == t.track; });
      ++(t.keyframe ? row->keyframes : row->filled);
    }
  if (started_ >= 0 && std::none_of(out.begin(), out.end(), [&](const Summary& s) { return s.track == started_; }))
    out.append({started_, -1, 0, 0});
  return out;
}

int FrameTracks::keyframe_from(const QStringList& pictures, int from, int step, int track) const {
  for (int pos = from + step; pos >= 0 && pos < pictures.size(); pos += step) {
    const QVector<TrackBox> boxes = tracks_.frames.value(QFileInfo(pictures[pos]).fileName());
    if (std::any_of(boxes.begin(), boxes.end(), [&](const TrackBox& t) { return t.track == track && t.keyframe; }))
      return pos;
  }
  return -1;
}

}  // namespace quorlan

#pragma once
// Tracks on a folder of frames: which box of which frame belongs to which track lives in one
// sidecar file in the label folder (tracks.json), so the YOLO label files stay plain and every
// other tool still reads them. A track's box is a keyframe (drawn or edited by the user) or was
// filled in (interpolated or tracked); filling in never touches a keyframe or a box without a track.
#include <QMap>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <optional>

#include "core/expected.h"

namespace quorlan {

inline constexpr const char* kTracksFile = "tracks.json";

// A box as a label line holds it: normalised centre x, centre y, width and height.
struct NormBox {
  double cx = 0, cy = 0, w = 0, h = 0;
  QRectF rect() const { return {cx - w / 2, cy - h / 2, w, h}; }
  static NormBox of(const QRectF& r) { return {r.center().x(), r.center().y(), r.width(), r.height()}; }
};

struct TrackBox {
  int track = 0;
  int class_id = 0;
  NormBox box;
  bool keyframe = true;
};

// The sidecar: each frame's tracked boxes, by the frame's file name.
struct Tracks {
  QMap<QString, QVector<TrackBox>> frames;
  QVector<int> ids() const;
};

// The sidecar of `label_folder` (none is no tracks); one that cannot be read fails.
Expected<Tracks> read_tracks(const QString& label_folder);
Status write_tracks(const QString& label_folder, const Tracks& tracks);

// The frames of a folder in the video's order, with each one's index in the video (from the
// "<video>_<index>" name, else its place in the list).
struct FrameList {
  QStringList pictures;
  QVector<int> indices;
};
FrameList frames_of(const QString& folder);

// What filling a track in changed.
struct FilledIn {
  int boxes = 0;       // boxes written (new or replacing filled ones)
  int frames = 0;      // label files rewritten
  QStringList tracks;  // "track 3: frames 12 to 40"
  QString stop;        // for tracking: where and why it stopped
};

// Fills each frame between two keyframes of a track (of `only`, else every track) with the linear
// interpolation of the box's centre, width and height; boxes filled earlier are replaced, keyframes
// and boxes without a track are never touched. The label files are rewritten keeping every other
// line byte for byte; the sidecar follows.
Expected<FilledIn> interpolate_tracks(const QString& folder, std::optional<int> only = std::nullopt);

enum class TrackerKind { Csrt, Kcf };
// Carries `box` (pixels, on the frame at `from`, a position in frames_of(folder)) onward frame
// by frame with an OpenCV tracker, as track `track` of class `class_id`: the box on `from` becomes a
// keyframe, each next frame gets a filled box. It stops at the next keyframe of that track, at
// `to` (a position, inclusive), where the tracker loses the object or the box leaves the picture,
// and says which. `progress(done)` returns false to stop.
Expected<FilledIn> track_forward(const QString& folder, int from, const QRectF& box, int class_id, int track,
                                 std::optional<int> to, TrackerKind kind,
                                 const std::function<bool(int)>& progress = {});

}  // namespace quorlan

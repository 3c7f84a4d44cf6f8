#pragma once
// Tracks on a folder of frames: which box of which frame belongs to which track lives in one
// sidecar file in the label folder (tracks.json), so the YOLO label files stay plain and every
// other tool still reads them. A track's box is a keyframe (drawn or edited by the user) or was
// filled in (interpolated or tracked); filling in never touches a keyframe or a box without a track.
#include <QHash>
#include <QMap>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

#include "core/expected.h"

namespace quorlan {

inline constexpr const char* kTracksFile = "tracks.json";

// A box as a label line holds it: normalised centre x, centre y, width and height.
struct NormBox {
  double cx = 0, cy = 0, w = 0, h = 0;
  QRectF rect() const { return {cx - w / 2, cy - h / 2, w, h}; }
  static NormBox of(const QRectF& r) { return {r.center().x(), r.center().y(), r.width(), r.height()}; }
  // The same box as a label line writes it (six decimals).
  bool near(const NormBox& o) const;
  // The box as a label line holds it.
  NormBox rounded() const;
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

// Whether every picture is named as a frame of a video ("<video>_<index>").
bool named_as_frames(const QStringList& pictures);

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

// A fill planned and not yet written: every file it rewrites (the frames' label files and the
// track file), before and after, with what it does.
struct TrackFill {
  FilledIn filled;
  QHash<QString, QByteArray> before;
  QHash<QString, QByteArray> after;
  QStringList created;  // files it makes (a frame without a label file, the track file)
  bool isEmpty() const { return after.isEmpty(); }
};

// Fills each frame between two keyframes of a track (of `only`, else every track) with the linear
// interpolation of the box's centre, width and height; boxes filled earlier are replaced, keyframes
// and boxes without a track are never touched. Each label file keeps every other line byte for byte.
Expected<TrackFill> plan_interpolation(const QString& folder, std::optional<int> only = std::nullopt);

// What carries a box from one frame to the next: an OpenCV tracker, or a model's detections.
class Follower {
 public:
  virtual ~Follower() = default;
  // Starts on `first` (the frame the box is drawn on) at `box`, in pixels.
  virtual void start(const cv::Mat& first, const QRectF& box) = 0;
  // The box on the next frame (`picture`, decoded as `frame`); nullopt when the object is lost.
  virtual Expected<std::optional<QRectF>> next(const cv::Mat& frame, const QString& picture) = 0;
  // Who lost the object, for the stop: "The tracker", "The model".
  virtual QString who() const = 0;
};

enum class TrackerKind { Csrt, Kcf };
std::unique_ptr<Follower> tracker_follower(TrackerKind kind);
// Follows the detections `detect` finds on each frame (boxes of the track's class, in pixels):
// the one overlapping the last box most, when their IoU reaches `min_iou`.
using Detect = std::function<Expected<QVector<QRectF>>(const QString& picture)>;
std::unique_ptr<Follower> detection_follower(Detect detect, double min_iou = 0.3);
// The intersection over union of two boxes.
double iou(const QRectF& a, const QRectF& b);

// Carries `box` (pixels, on the frame at `from`, a position in frames_of(folder)) onward frame
// by frame with `follower`, as track `track` of class `class_id`: the box on `from` becomes a
// keyframe, each next frame gets a filled box. It stops at the next keyframe of that track, at
// `to` (a position, inclusive), where the follower loses the object or the box leaves the picture,
// and says which. `progress(done)` returns false to stop.
Expected<TrackFill> plan_following(const QString& folder, int from, const QRectF& box, int class_id, int track,
                                   std::optional<int> to, Follower& follower,
                                   const std::function<bool(int)>& progress = {});

// Writes a planned fill as one journaled change of the folder: all or none, and a crash in the
// middle is rolled back when the folder is next opened.
Status write_fill(const QString& folder, const TrackFill& fill);
// `fill` once written; a plan that failed, or a write that failed, as its failure.
Expected<TrackFill> written_fill(const QString& folder, Expected<TrackFill> fill);

// Planned and written at once.
Expected<FilledIn> interpolate_tracks(const QString& folder, std::optional<int> only = std::nullopt);
Expected<FilledIn> track_forward(const QString& folder, int from, const QRectF& box, int class_id, int track,
                                 std::optional<int> to, TrackerKind kind,
                                 const std::function<bool(int)>& progress = {});

// The track file's bytes for `tracks`.
QByteArray tracks_bytes(const Tracks& tracks);

}  // namespace quorlan

#pragma once
// The tracks of the folder of frames shown: its track file, the track new boxes are drawn for,
// and the tracks of the shapes of the picture on screen. Widget-free: the tab asks and shows.
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <optional>

#include "core/annotation_document.h"
#include "core/expected.h"
#include "video/tracks.h"

namespace quorlan {

class FrameTracks {
 public:
  // A folder opened: the track file of `label_folder` read. One that cannot be read is named and
  // never written over (its tracks are not shown and new boxes get none).
  Status open(const QString& label_folder);
  const Tracks& tracks() const { return tracks_; }
  bool writable() const { return readable_ && !label_folder_.isEmpty(); }

  // The track new boxes are drawn for; -1 for none.
  int picked() const { return picked_; }
  void pick(int track) { picked_ = track; }
  // A track id no box has yet, picked.
  int start_track();
  // The class of `track`'s boxes (its first keyframe's); -1 when it has none yet.
  int class_of(int track) const;

  // The shapes of `frame` (a picture's file name) of a picture of `size` get the tracks the file
  // gives their boxes.
  void mark(const QString& frame, QVector<Annotation>& shapes, QSize size) const;
  // The frame's entries become those of its shapes (boxes with a track); true when they changed.
  bool follow(const QString& frame, const QVector<Annotation>& shapes, QSize size);

  // What the track list shows of each track.
  struct Summary {
    int track = 0;
    int class_id = 0;
    int keyframes = 0;
    int filled = 0;
  };
  QVector<Summary> summaries() const;
  // The position in `pictures` of the nearest frame before (`step` -1) or after (+1) `from` with a
  // keyframe of `track`; -1 when there is none.
  int keyframe_from(const QStringList& pictures, int from, int step, int track) const;

 private:
  QString label_folder_;
  Tracks tracks_;
  bool readable_ = true;
  int picked_ = -1;
  int started_ = -1;  // the last id started, which has no box yet
};

// A box shape's box as its label line holds it; nullopt for a polygon.
std::optional<NormBox> norm_box_of(const Annotation& shape, QSize size);

}  // namespace quorlan

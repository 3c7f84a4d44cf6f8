// quorlan frames: a video made a folder of frames.
#include <QFileInfo>
#include <QJsonArray>

#include "core/label_files.h"

#include "cli/cli.h"
#include "cli/engine_requests.h"
#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "predict/predicting_model.h"
#include "video/frame_extraction.h"
#include "video/tracks.h"

namespace quorlan::cli {
namespace {

int run_frames(const QStringList& arguments) {
  Command c("frames", "Write a video's frames into OUT/<video name>_frames.", arguments);
  c.parser.addOption({"every", "Keep every N-th frame (default 1).", "N", "1"});
  c.parser.addOption({"fps", "Keep about F frames a second of video instead.", "F"});
  c.parser.addOption({"skip-similar", "Leave out frames that look like the last one kept."});
  c.parser.addOption({"quality", "JPEG quality of the frames (default 95).", "Q", "95"});
  if (const int code = c.parse({"VIDEO", "OUT"}); code >= 0) return code;
  bool ok = true;
  FrameChoice choice;
  choice.every = c.int_value("every", &ok, 1, 1000000);
  if (!ok) return kUsage;
  choice.jpeg_quality = c.int_value("quality", &ok, 1, 100);
  if (!ok) return kUsage;
  if (c.parser.isSet("fps")) {
    if (c.parser.isSet("every")) return c.usage("Give --every or --fps, not both.");
    choice.fps = c.real_value("fps", &ok);
    if (!ok) return kUsage;
    if (choice.fps <= 0) return c.usage("--fps is a number of frames a second above 0.");
  }
  choice.skip_similar = c.parser.isSet("skip-similar");
  const Expected<FramesWritten> written =
      extract_frames(c.positional()[0], c.positional()[1], choice, [&](int done, int total) {
        if (done % 25 == 0 || done == total) c.progress(done, total, QStringLiteral("frames"));
        return !stop_requested().load();
      });
  if (!written) return c.fail(written.error());
  const QJsonObject result{{"folder", written->folder},
                           {"frames", QJsonArray::fromStringList(written->files)},
                           {"frames_read", written->frames_read},
                           {"frames_stated", written->frames_stated},
                           {"skipped_similar", written->skipped_similar},
                           {"cut_short", written->cut_short}};
  if (written->cancelled) return c.fail(written->summary(), result, kInterrupted);
  return c.succeed(written->summary(), result);
}

QJsonObject filled_json(const FilledIn& filled) {
  return {{"boxes", filled.boxes},
          {"label_files", filled.frames},
          {"tracks", QJsonArray::fromStringList(filled.tracks)},
          {"stop", filled.stop}};
}

QString filled_text(const FilledIn& filled) {
  QString text = QStringLiteral("%1 box(es) filled in over %2 label file(s).").arg(filled.boxes).arg(filled.frames);
  for (const QString& t : filled.tracks) text += "\n  " + t;
  if (!filled.stop.isEmpty()) text += "\n" + filled.stop;
  return text;
}

int run_interpolate(const QStringList& arguments) {
  Command c("interpolate", "Fill the frames between a track's keyframes with the interpolated box.", arguments);
  c.parser.addOption({"track", "Only this track (default: every track).", "ID"});
  if (const int code = c.parse({"FOLDER"}); code >= 0) return code;
  std::optional<int> only;
  if (c.parser.isSet("track")) {
    bool ok = true;
    only = c.int_value("track", &ok, 0, 1000000000);
    if (!ok) return kUsage;
  }
  const Expected<FilledIn> filled = interpolate_tracks(c.positional()[0], only);
  if (!filled) return c.fail(filled.error());
  if (filled->tracks.isEmpty())
    return c.fail("No track has two keyframes to fill between (keyframes are kept in " + QString(kTracksFile) + ").",
                  filled_json(*filled));
  return c.succeed(filled_text(*filled), filled_json(*filled));
}

int run_track(const QStringList& arguments) {
  Command c("track", "Carry a box forward from a frame with an OpenCV tracker, or a model's detections.", arguments);
  c.parser.addOption({"from", "The frame to start from (its index in the video's naming).", "FRAME"});
  c.parser.addOption({"box", "The box on that frame, in pixels.", "X1,Y1,X2,Y2"});
  c.parser.addOption({"class", "The box's class id.", "N"});
  c.parser.addOption({"to", "The last frame to carry it to (default: as far as it goes).", "FRAME"});
  c.parser.addOption({"tracker", "csrt (the default, steadier) or kcf (faster).", "NAME", "csrt"});
  c.parser.addOption({"track", "The track id (default: one more than the largest in the folder).", "ID"});
  c.parser.addOption(
      {"model", "Follow this model's detections of the class (matched by overlap) instead of a tracker.", "WEIGHTS"});
  c.parser.addOption({"conf", "The model's confidence threshold.", "C", "0.25"});
  if (const int code = c.parse({"FOLDER"}); code >= 0) return code;
  for (const char* required : {"from", "box", "class"})
    if (!c.parser.isSet(required)) return c.usage(QStringLiteral("--%1 is needed.").arg(required));
  if (c.value("tracker") != "csrt" && c.value("tracker") != "kcf")
    return c.usage("--tracker is csrt or kcf, not " + c.value("tracker") + ".");
  bool ok = true;
  const int from_frame = c.int_value("from", &ok, 0, 1000000000);
  const int cls = ok ? c.int_value("class", &ok, 0, 100000) : 0;
  if (!ok) return kUsage;
  const QStringList corners = c.value("box").split(',');
  QVector<double> v;
  for (const QString& t : corners) v << t.toDouble(&ok);
  if (corners.size() != 4 || !ok) return c.usage("--box takes X1,Y1,X2,Y2, not " + c.value("box") + ".");
  const QString folder = c.positional()[0];
  const FrameList frames = frames_of(folder);
  const int from = frames.indices.indexOf(from_frame);
  if (from < 0) return c.fail(QStringLiteral("The folder has no frame %1.").arg(from_frame));
  std::optional<int> to;
  if (c.parser.isSet("to")) {
    const int to_frame = c.int_value("to", &ok, 0, 1000000000);
    if (!ok) return kUsage;
    int last = -1;  // the last frame at or before it
    for (int i = 0; i < frames.indices.size(); ++i)
      if (frames.indices[i] <= to_frame) last = i;
    to = last;
  }
  int track = 0;
  if (c.parser.isSet("track")) {
    track = c.int_value("track", &ok, 0, 1000000000);
    if (!ok) return kUsage;
  } else {
    const Expected<Tracks> known = read_tracks(label_folder_for(folder));
    if (!known) return c.fail(known.error());
    track = known->ids().isEmpty() ? 1 : known->ids().last() + 1;
  }
  std::unique_ptr<Follower> follower =
      tracker_follower(c.value("tracker") == "kcf" ? TrackerKind::Kcf : TrackerKind::Csrt);
  if (c.parser.isSet("model")) {
    const QString weights = c.value("model");
    const double conf = c.real_value("conf", &ok);
    if (!ok || conf <= 0 || conf > 1) return c.usage("--conf is above 0 and at most 1.");
    if (!QFileInfo::exists(weights)) return c.fail("The weights file " + weights + " does not exist.");
    if (runtime_for(weights) == ModelRuntime::Engine && !HAS_YOLO()) return engine_missing(c);
    PredictionHost::instance().set_cancel_flag(&stop_requested());  // Ctrl+C ends a prediction waited for
    const Expected<std::shared_ptr<PredictingModel>> model = load_predicting_model("cli", weights);
    if (!model) return c.fail("The model could not be loaded:\n" + model.error());
    c.note("Runs on: " + (*model)->runtime());
    follower = detection_follower(boxes_of_class(*model, cls, conf));
  }
  const Expected<TrackFill> fill =
      written_fill(folder, plan_following(folder, from, QRectF(QPointF(v[0], v[1]), QPointF(v[2], v[3])), cls, track,
                                          to, *follower, [&](int done) {
                                            if (done % 25 == 0) c.progress(done, 0, QStringLiteral("frames"));
                                            return !stop_requested().load();
                                          }));
  PredictionHost::instance().shutdown();
  if (!fill) return c.fail(fill.error());
  const FilledIn* filled = &fill->filled;
  QJsonObject json = filled_json(*filled);
  json.insert("track", track);
  return c.succeed(QStringLiteral("Track %1: ").arg(track) + filled_text(*filled), json);
}

}  // namespace

QList<Entry> video_commands() {
  return {{"frames", "write a video's frames into a folder", run_frames},
          {"interpolate", "fill frames between a track's keyframes", run_interpolate},
          {"track", "carry a box forward with a tracker", run_track}};
}

}  // namespace quorlan::cli

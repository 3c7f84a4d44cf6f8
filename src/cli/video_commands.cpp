// quorlan frames: a video made a folder of frames.
#include <QJsonArray>

#include "cli/cli.h"
#include "video/frame_extraction.h"

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

}  // namespace

QList<Entry> video_commands() { return {{"frames", "write a video's frames into a folder", run_frames}}; }

}  // namespace quorlan::cli

// "🎬 Open Video...": a video's frames written into a folder beside it, then opened.
#include <QFileInfo>

#include "annotate/annotator_tab.h"
#include "video/frame_extraction.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"

namespace quorlan {

namespace {

// The strides offered, as the dialog names them.
struct Stride {
  const char* text;
  int every;
  double fps;
};
constexpr Stride kStrides[] = {{"Every frame", 1, 0},       {"Every 5th frame", 5, 0},  {"Every 10th frame", 10, 0},
                               {"Every 30th frame", 30, 0}, {"1 frame a second", 1, 1}, {"2 frames a second", 1, 2},
                               {"5 frames a second", 1, 5}};

}  // namespace

void AnnotatorTab::open_video() {
  const QString video = prompts().get_open_file_name(
      this, "Open Video", QString(), "Videos (*.mp4 *.avi *.mov *.mkv *.webm *.m4v *.mpg *.mpeg *.wmv);;All files (*)");
  if (video.isEmpty()) return;
  QStringList strides;
  for (const Stride& s : kStrides) strides << QString::fromLatin1(s.text);
  const int picked = prompts().get_item(this, "Open Video", "Frames to keep:", strides);
  if (picked < 0) return;
  FrameChoice choice;
  choice.every = kStrides[picked].every;
  choice.fps = kStrides[picked].fps;
  const int similar =
      prompts().choose(this, "Open Video",
                       "Skip near-identical frames? A frame that looks like the last one kept (a still camera, a "
                       "paused scene) adds nothing to train on.",
                       {"Skip near-identical frames", "Keep them", "Cancel"});
  if (similar < 0 || similar == 2) return;
  choice.skip_similar = similar == 0;
  const QString parent = QFileInfo(video).absolutePath();
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, "Writing the video's frames...", control,
      [video, parent, choice, control] {
        return extract_frames(video, parent, choice, [control](int done, int total) {
          control->total.store(total);
          control->done.store(done);
          return !control->cancel.load();
        });
      },
      [this](const Expected<FramesWritten>& written) {
        if (!written) return prompts().warning(this, "Open Video", written.error());
        if (written->cut_short || written->cancelled) prompts().information(this, "Open Video", written->summary());
        emit notice_signal(written->summary());
        if (!written->files.isEmpty()) open_folder(written->folder);
      });
}

}  // namespace quorlan

// The tracks of a folder of frames in the annotator: the track list beside the object table, the
// keys to a track's keyframes, boxes drawn as keyframes of the picked track, and "Interpolate
// Track" and "Track Forward", each one undoable change of the folder's files.
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "annotate/annotator_tab.h"
#include "core/label_files.h"
#include "widgets/background_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/prompts.h"

namespace quorlan {

namespace {

// `next` once every file asked of the write pool before it has landed (the track file of the last
// edit included): a fill then reads what the user sees.
void after_writes(QObject* context, std::function<void()> next) {
  write_beside_window(
      context, [] { return Status(); }, [next = std::move(next)](const Status&) { next(); });
}

}  // namespace

QGroupBox* AnnotatorTab::build_track_box() {
  track_box = named(new QGroupBox("Tracks"), "track_box");
  auto* layout = new QVBoxLayout(track_box);
  list_tracks = named(new QListWidget, "list_tracks");
  list_tracks->setMaximumHeight(110);
  list_tracks->setToolTip(QStringLiteral("Boxes drawn with a track picked are its keyframes (%1 and %2 go to its "
                                         "previous and next one); dashed boxes were filled in.")
                              .arg(annotator_key_text(AnnotatorCommand::PreviousKeyframe),
                                   annotator_key_text(AnnotatorCommand::NextKeyframe)));
  list_tracks->installEventFilter(this);
  layout->addWidget(list_tracks);
  auto* row = new QHBoxLayout;
  btn_new_track = named(new QPushButton("➕ New Track"), "btn_new_track");
  btn_new_track->setToolTip("A new track, picked: draw its box on two or more frames");
  btn_interpolate = named(new QPushButton("Interpolate Track"), "btn_interpolate");
  btn_interpolate->setToolTip(
      "Fill each frame between two keyframes of the picked track (every track when none is picked); keyframes and "
      "boxes drawn without a track are never touched");
  btn_track_forward = named(new QPushButton("Track Forward"), "btn_track_forward");
  btn_track_forward->setToolTip(
      "Carry the picked box onward frame by frame, to the track's next keyframe or until the object is lost");
  row->addWidget(btn_new_track);
  row->addWidget(btn_interpolate);
  row->addWidget(btn_track_forward);
  layout->addLayout(row);
  track_box->hide();  // shown on a folder of frames
  return track_box;
}

void AnnotatorTab::connect_tracks() {
  connect(list_tracks, &QListWidget::currentRowChanged, this, [this](int row) {
    QListWidgetItem* item = row >= 0 ? list_tracks->item(row) : nullptr;
    tracks_.pick(item ? item->data(Qt::UserRole).toInt() : -1);
  });
  connect(btn_new_track, &QPushButton::clicked, this, [this] {
    const int id = tracks_.start_track();
    show_tracks();
    emit notice_signal(
        QStringLiteral("Track %1: draw its box on two or more frames, then Interpolate Track or Track Forward.")
            .arg(id));
    focus_picture();
  });
  connect(btn_interpolate, &QPushButton::clicked, this, &AnnotatorTab::interpolate_track);
  connect(btn_track_forward, &QPushButton::clicked, this, &AnnotatorTab::track_forward);
}

void AnnotatorTab::open_tracks() {
  const Status read = tracks_.open(queue_.label_folder());
  if (!read) emit notice_signal(read.error() + " Its tracks are not shown, and it is not written over.");
  track_box->setVisible(!queue_.isEmpty() && (named_as_frames(queue_.paths()) || !tracks_.tracks().frames.isEmpty()));
  show_tracks();
}

void AnnotatorTab::show_tracks() {
  const QSignalBlocker block(list_tracks);
  list_tracks->clear();
  auto* none = new QListWidgetItem("(no track)");
  none->setData(Qt::UserRole, -1);
  list_tracks->addItem(none);
  int picked_row = 0;
  for (const FrameTracks::Summary& s : tracks_.summaries()) {
    QString text = QStringLiteral("Track %1").arg(s.track);
    if (s.class_id >= 0) text += " · " + class_name(s.class_id);
    text += s.keyframes + s.filled == 0 ? QStringLiteral(" · no box yet")
                                        : QStringLiteral(" · %1 keyframe(s), %2 filled").arg(s.keyframes).arg(s.filled);
    auto* item = new QListWidgetItem(text);
    item->setData(Qt::UserRole, s.track);
    list_tracks->addItem(item);
    if (s.track == tracks_.picked()) picked_row = list_tracks->count() - 1;
  }
  list_tracks->setCurrentRow(picked_row);
  if (picked_row == 0) tracks_.pick(-1);
}

void AnnotatorTab::mark_shown_tracks() {
  if (!document->is_open()) return;
  const QString frame = QFileInfo(shown_picture()).fileName();
  const QSize size = document->image_size();
  document->mark_tracks([&](QVector<Annotation>& shapes) { tracks_.mark(frame, shapes, size); });
}

void AnnotatorTab::follow_tracks() {
  if (!document->is_open() || track_box->isHidden()) return;
  if (!tracks_.follow(QFileInfo(shown_picture()).fileName(), document->shapes(), document->image_size())) return;
  write_beside_window(
      this, [folder = queue_.label_folder(), tracks = tracks_.tracks()] { return write_tracks(folder, tracks); },
      [this](const Status& written) {
        if (!written) emit notice_signal("The track file could not be written: " + written.error());
      });
  show_tracks();
}

bool AnnotatorTab::add_to_track(Annotation shape) {
  const int track = track_box->isHidden() ? -1 : tracks_.picked();
  if (track < 0 || !shape.is_box()) {
    if (track >= 0) emit notice_signal("Tracks follow boxes: the shape is saved without a track.");
    return document->add(QStringLiteral("Add Shape"), {shape});
  }
  // A frame holds one box of a track: the keyframe drawn takes the place of the one there was.
  AnnotationState after = document->state();
  after.shapes.erase(
      std::remove_if(after.shapes.begin(), after.shapes.end(), [&](const Annotation& a) { return a.track == track; }),
      after.shapes.end());
  shape.track = track;
  shape.filled = false;
  after.shapes.append(shape);
  return document->apply(QStringLiteral("Add Keyframe"), std::move(after));
}

int AnnotatorTab::drawing_class() const {
  if (track_box->isHidden() || tracks_.picked() < 0) return -1;
  return tracks_.class_of(tracks_.picked());
}

void AnnotatorTab::go_to_keyframe(int step) {
  if (track_box->isHidden()) return;
  if (tracks_.picked() < 0) return emit notice_signal("Pick a track in the track list to go to its keyframes.");
  const int pos = tracks_.keyframe_from(queue_.paths(), queue_.current(), step, tracks_.picked());
  if (pos < 0)
    return emit notice_signal(QStringLiteral("Track %1 has no keyframe %2 this frame.")
                                  .arg(tracks_.picked())
                                  .arg(step > 0 ? QStringLiteral("after") : QStringLiteral("before")));
  jump_to_image(pos);
}

bool AnnotatorTab::tracks_usable(const QString& title) {
  if (queue_.folder().isEmpty()) return false;
  if (tracks_.writable()) return true;
  prompts().warning(this, title,
                    QStringLiteral("%1 in %2 could not be read, so tracks are neither shown nor written over. Mend or "
                                   "move it, then open the folder again.")
                        .arg(QString::fromLatin1(kTracksFile), QDir::toNativeSeparators(queue_.label_folder())));
  return false;
}

void AnnotatorTab::interpolate_track() {
  if (!tracks_usable("Interpolate Track")) return;
  if (!resolve_unsaved([this] { interpolate_track(); })) return;
  const std::optional<int> only = tracks_.picked() >= 0 ? std::optional<int>(tracks_.picked()) : std::nullopt;
  after_writes(this, [this, only, folder = queue_.folder()] {
    if (folder != queue_.folder()) return;
    run_beside_window(
        this, "Interpolating...", std::make_shared<WorkControl>(),
        [folder, only] { return written_fill(folder, plan_interpolation(folder, only)); },
        [this, folder](const Expected<TrackFill>& fill) { fill_written("Interpolate Track", folder, fill); });
  });
}

void AnnotatorTab::track_forward() {
  if (!document->is_open() || !tracks_usable("Track Forward")) return;
  const QList<QGraphicsItem*> selected = canvas->selectedItems();
  const int row = selected.isEmpty() ? -1 : annotations.row_of(selected.first());
  if (row < 0 || !document->shapes()[row].is_box())
    return prompts().information(this, "Track Forward",
                                 "Pick the box to follow first (click it in Select/Move, or draw it).");
  if (!resolve_unsaved([this] { track_forward(); })) return;
  const Annotation shape = document->shapes()[row];
  // The box's own track; else the track picked, when this frame holds none of its boxes; else a new one.
  int track = shape.track;
  if (track < 0) {
    const int picked = tracks_.picked();
    const bool taken = std::any_of(document->shapes().begin(), document->shapes().end(),
                                   [&](const Annotation& a) { return picked >= 0 && a.track == picked; });
    track = picked >= 0 && !taken ? picked : tracks_.start_track();
  }
  // With a model loaded, its detections of the class can be followed instead of the picture.
  std::shared_ptr<PredictingModel> model;
  if (ai_model) {
    const int choice = prompts().choose(this, "Track Forward",
                                        "Follow the box with the OpenCV tracker, or with the loaded model's "
                                        "detections of its class (matched by overlap)?",
                                        {"OpenCV Tracker", "Model's Detections", "Cancel"});
    if (choice < 0 || choice == 2) return;
    if (choice == 1) model = ai_model;
  }
  int model_class = shape.class_id;
  if (model) {
    const QHash<int, QString> names = model->names();
    for (auto it = names.cbegin(); it != names.cend(); ++it)
      if (it.value() == class_name(shape.class_id)) model_class = it.key();
  }
  const double conf = spin_ai_conf->value();
  const QString picture = shown_picture();
  const QRectF box = shape.points.boundingRect();
  auto control = std::make_shared<WorkControl>();
  after_writes(this, [this, folder = queue_.folder(), picture, box, shape, track, model, model_class, conf, control] {
    if (folder != queue_.folder()) return;
    run_beside_window(
        this, "Tracking...", control,
        [=]() -> Expected<TrackFill> {
          const FrameList frames = frames_of(folder);
          const int from = static_cast<int>(frames.pictures.indexOf(picture));
          control->total.store(static_cast<int>(frames.pictures.size()) - from - 1);
          std::unique_ptr<Follower> follower;
          if (model)
            follower = detection_follower(boxes_of_class(model, model_class, conf));
          else
            follower = tracker_follower(TrackerKind::Csrt);
          return written_fill(folder, plan_following(folder, from, box, shape.class_id, track, std::nullopt, *follower,
                                                     [control](int done) {
                                                       control->done.store(done);
                                                       return !control->cancel.load();
                                                     }));
        },
        [this, folder](const Expected<TrackFill>& fill) { fill_written("Track Forward", folder, fill); },
        [model] {
          if (model) model->cancel();
        });
  });
}

void AnnotatorTab::fill_written(const QString& title, const QString& folder, const Expected<TrackFill>& fill) {
  if (!fill) return prompts().warning(this, title, fill.error());
  QString said = fill->filled.boxes == 0
                     ? QStringLiteral("No frame to fill: a track needs two keyframes with frames between them.")
                     : QStringLiteral("%1 box(es) filled on %2 frame(s): %3.")
                           .arg(fill->filled.boxes)
                           .arg(fill->filled.frames)
                           .arg(fill->filled.tracks.join(", "));
  if (!fill->filled.stop.isEmpty()) said += " " + fill->filled.stop;
  if (folder == queue_.folder()) {
    if (!fill->isEmpty()) record_class_change({title, classes, classes, fill->before, fill->after, fill->created, {}});
    remark_pictures(fill->after.keys());
    reload_tracks();
  }
  emit notice_signal(title + ": " + said);  // after the picture read again, which clears the last notice
}

void AnnotatorTab::remark_pictures(const QStringList& label_paths) {
  queue_.remark(label_paths);
  show_queue();
  if (QListWidgetItem* item = list_images->item(queue_.current())) {
    const QSignalBlocker block(list_images);
    list_images->setCurrentItem(item);
  }
}

void AnnotatorTab::reload_tracks() {
  const int picked = tracks_.picked();
  open_tracks();
  tracks_.pick(picked);
  show_tracks();
  if (const QString shown = shown_picture(); !shown.isEmpty()) load_existing_annotations(shown);
}

}  // namespace quorlan

// Videos made datasets: videos written here with OpenCV's VideoWriter (MJPG in AVI, mp4v in MP4
// where the back end writes it) of a textured object moving over a textured background, read
// back into frames by the command line's and the window's code path.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "annotate/annotator_tab.h"
#include "core/image_files.h"
#include "dataset/split_export.h"
#include "predict/predicting_model.h"
#include "support/find_widget.h"
#include "support/fixtures.h"
#include "support/label_answers.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "video/frame_extraction.h"
#include "video/tracks.h"
#include "widgets/zoomable_view.h"

using namespace quorlan;

namespace {

// A textured background with a striped box moving right `speed` pixels a frame; `still` frames
// first in which nothing moves.
bool write_video(const QString& path, int fourcc, int frames, int still = 0, double fps = 30) {
  const cv::Size size(320, 240);
  cv::VideoWriter writer(path.toStdString(), cv::CAP_FFMPEG, fourcc, fps, size);
  if (!writer.isOpened()) return false;
  cv::Mat background(size, CV_8UC3);
  cv::RNG rng(4);
  rng.fill(background, cv::RNG::UNIFORM, cv::Scalar(30, 90, 30), cv::Scalar(80, 160, 90));
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame = background.clone();
    const int x = 10 + std::max(0, i - still) * 3;
    for (int y = 90; y < 150; y += 6)
      cv::rectangle(frame, cv::Rect(x, y, 50, 3), (y / 6) % 2 ? cv::Scalar(30, 60, 220) : cv::Scalar(40, 150, 240), -1);
    writer.write(frame);
  }
  return true;
}

// `video` opened in `tab` through "Open Video...", keeping the stride listed `stride` and every
// near-identical frame.
void open_in(AnnotatorTab& tab, ScriptedPrompts* prompts, const QString& video, int stride) {
  prompts->open_files.push_back(video);
  prompts->items.push_back(stride);
  prompts->choices.push_back(1);  // keep near-identical frames
  tab.open_video();
}

// A model that sees write_video's striped box where it is on each frame (and a car in a corner),
// up to frame 11.
class SeesTheBox : public PredictingModel {
 public:
  QString runtime() const override { return QStringLiteral("test"); }
  QHash<int, QString> names() const override { return {{0, QStringLiteral("car")}}; }
  QString weights() const override { return QStringLiteral("sees.pt"); }
  Expected<Prediction> predict(const QString& picture, double, int, bool) override {
    const int i = QFileInfo(picture).completeBaseName().section('_', -1).toInt();
    Prediction p;
    p.boxes.append({0, 250, 10, 300, 40, 0.9});
    if (i < 12) p.boxes.append({0, 10.0 + 3 * i, 90, 60.0 + 3 * i, 150, 0.8});
    return p;
  }
  void cancel() override {}
};

QStringList names(const QStringList& paths) {
  QStringList out;
  for (const QString& p : paths) out << QFileInfo(p).fileName();
  return out;
}

}  // namespace

class TestVideo : public QObject {
  Q_OBJECT

 private slots:
  void strides_name_and_order_the_frames() {
    QTemporaryDir dir;
    const QString video = dir.filePath("street.avi");
    QVERIFY(write_video(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 60));
    FrameChoice every7;
    every7.every = 7;
    const Expected<FramesWritten> a = extract_frames(video, dir.path(), every7);
    QVERIFY2(a, qPrintable(a.error()));
    QCOMPARE(a->frames_read, 60);
    QCOMPARE(QFileInfo(a->folder).fileName(), QString("street_frames"));
    QCOMPARE(names(a->files).first(), QString("street_000000.jpg"));
    QCOMPARE(names(a->files).last(), QString("street_000056.jpg"));
    QCOMPARE(a->files.size(), 9);
    QCOMPARE(QDir(a->folder).entryList(QDir::Files, QDir::Name), names(a->files));  // on disk, in order
    QVERIFY(!a->cut_short);
    // 10 frames a second of a 30-frame video: every third frame; a second run gets its own folder.
    FrameChoice ten;
    ten.fps = 10;
    const QByteArray first = test::read_bytes(a->files.first());
    const Expected<FramesWritten> b = extract_frames(video, dir.path(), ten);
    QVERIFY(b);
    QCOMPARE(QFileInfo(b->folder).fileName(), QString("street_frames_2"));
    QCOMPARE(b->files.size(), 20);
    QCOMPARE(names(b->files)[1], QString("street_000003.jpg"));
    QCOMPARE(test::read_bytes(a->files.first()), first);  // the first run's frames untouched
    QVERIFY(keeps_frame(0, ten, 25) && !keeps_frame(1, ten, 25) && !keeps_frame(2, ten, 25) && keeps_frame(3, ten, 25));
    // MP4 where the back end writes it.
    const QString mp4 = dir.filePath("street.mp4");
    if (write_video(mp4, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 30)) {
      const Expected<FramesWritten> c = extract_frames(mp4, dir.filePath("mp4"), every7);
      QVERIFY2(c, qPrintable(c.error()));
      QCOMPARE(c->files.size(), 5);
    }
  }

  void other_layouts_and_a_turned_phone_video_are_read_upright() {
    // Made from the pictures f0.png to f5.png: a phone's video whose display matrix turns it a
    // quarter counterclockwise (the ffmpeg command shows it so; the OpenCV 4.6 reader turns it the
    // other way), and an RGB video (PNG in MOV).
    const QDir data(QStringLiteral(QUORLAN_VIDEO_DATA));
    for (const char* name : {"turned.mp4", "rgb.mov"}) {
      QTemporaryDir dir;
      FrameChoice every;
      every.jpeg_quality = 100;
      const Expected<FramesWritten> written = extract_frames(data.filePath(name), dir.path(), every);
      QVERIFY2(written, qPrintable(written.error()));
      QCOMPARE(written->files.size(), 6);
      for (int i = 0; i < 6; ++i) {
        cv::Mat expected = cv::imread(data.filePath(QStringLiteral("f%1.png").arg(i)).toStdString());
        if (QLatin1String(name) == QLatin1String("turned.mp4"))
          cv::rotate(expected, expected, cv::ROTATE_90_COUNTERCLOCKWISE);
        const cv::Mat ours = cv::imread(written->files[i].toStdString());
        QCOMPARE(ours.cols, expected.cols);
        QCOMPARE(ours.rows, expected.rows);
        cv::Mat difference;
        cv::absdiff(ours, expected, difference);
        // A 48 x 32 picture of sharp colour edges loses some colour to 4:2:0 and the codec; a
        // frame turned the wrong way differs by far more.
        const cv::Scalar mean = cv::mean(difference);
        const double off = (mean[0] + mean[1] + mean[2]) / 3;
        QVERIFY2(off < 8, qPrintable(QStringLiteral("%1 frame %2: %3").arg(name).arg(i).arg(off)));
      }
    }
  }

  void near_identical_frames_are_left_out() {
    QTemporaryDir dir;
    const QString video = dir.filePath("parked.avi");
    QVERIFY(write_video(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 40, 20));
    FrameChoice choice;
    choice.skip_similar = true;
    const Expected<FramesWritten> kept = extract_frames(video, dir.path(), choice);
    QVERIFY(kept);
    // The 20 still frames give one; the moving ones stay (a 3-pixel step changes the hash).
    QVERIFY2(kept->skipped_similar >= 19, qPrintable(kept->summary()));
    QVERIFY(kept->files.size() + kept->skipped_similar == 40);
    QVERIFY(kept->summary().contains("near-identical"));
  }

  void unreadable_cut_off_and_stopped_videos() {
    QTemporaryDir dir;
    test::write_text(dir.filePath("notes.mp4"), "these are notes, not a video");
    const Expected<FramesWritten> junk = extract_frames(dir.filePath("notes.mp4"), dir.path(), {});
    QVERIFY(!junk);
    QVERIFY2(junk.error().contains("could not be read as a video"), qPrintable(junk.error()));
    QVERIFY(!QDir(dir.filePath("notes_frames")).exists());
    QVERIFY(!extract_frames(dir.filePath("missing.avi"), dir.path(), {}));
    // A cut-off file yields the frames it holds and says where it ended.
    const QString video = dir.filePath("full.avi");
    QVERIFY(write_video(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 50));
    const QByteArray bytes = test::read_bytes(video);
    test::write_bytes(dir.filePath("cut.avi"), bytes.left(bytes.size() / 2));
    const Expected<FramesWritten> cut = extract_frames(dir.filePath("cut.avi"), dir.path(), {});
    QVERIFY2(cut, qPrintable(cut.error()));
    QVERIFY(cut->cut_short);
    QVERIFY(cut->frames_read > 5 && cut->frames_read < 50);
    QCOMPARE(cut->files.size(), cut->frames_read);
    QVERIFY2(cut->summary().contains(QString("ends at frame %1 of the 50").arg(cut->frames_read)),
             qPrintable(cut->summary()));
    // Stopped: the frames written so far stay, each whole.
    const Expected<FramesWritten> stopped =
        extract_frames(video, dir.path(), {}, [](int done, int) { return done < 10; });
    QVERIFY(stopped && stopped->cancelled);
    QCOMPARE(stopped->files.size(), 9);
    QCOMPARE(QDir(stopped->folder).entryList(QDir::Files).size(), 9);
  }

  void the_split_never_parts_a_video() {
    // Five videos' frames in one folder (as a user gathers them), labelled, and a few photos.
    QTemporaryDir dir;
    const QString data = dir.filePath("data");
    QVERIFY(QDir().mkpath(data));
    for (int v = 0; v < 5; ++v) {
      const QString video = dir.filePath(QStringLiteral("cam%1.avi").arg(v));
      QVERIFY(write_video(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 12));
      FrameChoice every3;
      every3.every = 3;
      const Expected<FramesWritten> frames = extract_frames(video, dir.path(), every3);
      QVERIFY(frames);
      for (const QString& f : frames->files) {
        const QString to = QDir(data).filePath(QFileInfo(f).fileName());
        QVERIFY(QFile::copy(f, to));
        test::write_text(to.left(to.size() - 4) + ".txt", "0 0.2 0.5 0.15 0.25\n");
      }
    }
    for (int i = 0; i < 6; ++i) {
      test::write_noise_image(QDir(data).filePath(QStringLiteral("IMG_20240501_1200%1.png").arg(i, 2, 10, QChar('0'))),
                              64, 48, 300 + i);
      test::write_text(QDir(data).filePath(QStringLiteral("IMG_20240501_1200%1.txt").arg(i, 2, 10, QChar('0'))),
                       "0 0.5 0.5 0.2 0.2\n");
    }
    QCOMPARE(video_of(QDir(data).filePath("cam3_000009.jpg")), QDir(data).filePath("cam3"));
    QVERIFY(video_of(QDir(data).filePath("IMG_20240501_120003.png")).isEmpty());  // a photo, not a frame
    QCOMPARE(video_of("/x/clip_frame_0042.png"), QString("/x/clip#frames"));
    QCOMPARE(video_of("/x/frame0042.png"), video_of("/x/frame0043.png"));
    const QVector<ImageLabelPair> pairs = collect_annotated_pairs(list_folder_images(data));
    QCOMPARE(pairs.size(), 5 * 4 + 6);
    for (quint64 seed : {1ull, 2ull, 3ull, 42ull}) {
      const GroupedSplit split = plan_grouped_split(pairs, 0.6, 0.2, seed);
      QHash<QString, int> set_of_video;
      int start = 0;
      const int ends[3] = {split.counts.train, split.counts.train + split.counts.val, int(split.pairs.size())};
      for (int set = 0; set < 3; ++set) {
        for (int i = start; i < ends[set]; ++i) {
          const QString video = video_of(split.pairs[i].image);
          if (video.isEmpty()) continue;
          QVERIFY2(set_of_video.value(video, set) == set, qPrintable(video));  // never on two sides
          set_of_video.insert(video, set);
        }
        start = ends[set];
      }
      QCOMPARE(split.videos[0] + split.videos[1] + split.videos[2], 5);
    }
  }

  void interpolation_fills_between_keyframes_only() {
    // Twelve frames of a box moving linearly: keyframes on frames 0 and 11 of track 1; a box the
    // user drew on frame 5 without a track; another tool's polygon line on frame 3.
    QTemporaryDir dir;
    const QString folder = dir.path();
    for (int i = 0; i < 12; ++i)
      test::write_image(QDir(folder).filePath(QStringLiteral("walk_%1.jpg").arg(i, 6, 10, QChar('0'))), 400, 300);
    const auto truth = [](int i) { return NormBox{0.1 + 0.05 * i, 0.5 - 0.01 * i, 0.1 + 0.004 * i, 0.2}; };
    const auto label = [&](int i) {
      return QDir(folder).filePath(QStringLiteral("walk_%1.txt").arg(i, 6, 10, QChar('0')));
    };
    const auto line = [](int cls, const NormBox& b) {
      return QStringLiteral("%1 %2 %3 %4 %5\n")
          .arg(cls)
          .arg(b.cx, 0, 'f', 6)
          .arg(b.cy, 0, 'f', 6)
          .arg(b.w, 0, 'f', 6)
          .arg(b.h, 0, 'f', 6);
    };
    test::write_text(label(0), line(2, truth(0)));
    test::write_text(label(11), line(2, truth(11)));
    test::write_text(label(5), "0 0.9 0.9 0.05 0.05\n");
    test::write_text(label(3), "1 0.1 0.1 0.2 0.1 0.2 0.2\r\n");
    Tracks tracks;
    tracks.frames["walk_000000.jpg"] = {{1, 2, truth(0), true}};
    tracks.frames["walk_000011.jpg"] = {{1, 2, truth(11), true}};
    QVERIFY(write_tracks(folder, tracks));
    const QByteArray key0 = test::read_bytes(label(0));
    Expected<FilledIn> filled = interpolate_tracks(folder);
    QVERIFY2(filled, qPrintable(filled.error()));
    QCOMPARE(filled->boxes, 10);
    for (int i = 1; i < 11; ++i) {
      const QStringList lines = test::read_text(label(i)).split(QRegularExpression("\r?\n"), Qt::SkipEmptyParts);
      const QStringList last = lines.last().split(' ');
      QCOMPARE(last[0], QString("2"));
      // Within half a pixel of the truth on a 400 x 300 picture.
      QVERIFY(std::abs(last[1].toDouble() - truth(i).cx) * 400 < 0.5);
      QVERIFY(std::abs(last[2].toDouble() - truth(i).cy) * 300 < 0.5);
      QVERIFY(std::abs(last[3].toDouble() - truth(i).w) * 400 < 0.5);
    }
    QCOMPARE(test::read_bytes(label(0)), key0);                                      // keyframes untouched
    QVERIFY(test::read_text(label(5)).startsWith("0 0.9 0.9 0.05 0.05\n"));          // the user's box stays
    QVERIFY(test::read_text(label(3)).startsWith("1 0.1 0.1 0.2 0.1 0.2 0.2\r\n"));  // byte for byte
    // A keyframe moved on frame 6 and interpolating again: filled boxes are replaced, never doubled.
    Expected<Tracks> now = read_tracks(folder);
    QVERIFY(now);
    QCOMPARE(now->frames.value("walk_000004.jpg").size(), 1);
    QVERIFY(!now->frames.value("walk_000004.jpg")[0].keyframe);
    const NormBox moved{0.5, 0.5, 0.1, 0.1};
    test::write_text(label(6), line(2, moved));
    Tracks edited = *now;
    edited.frames["walk_000006.jpg"] = {{1, 2, moved, true}};
    QVERIFY(write_tracks(folder, edited));
    filled = interpolate_tracks(folder, 1);
    QVERIFY(filled);
    QCOMPARE(filled->boxes, 9);  // frames 1-5 and 7-10
    QCOMPARE(test::read_text(label(4)).count('\n'), 1);
    QCOMPARE(test::read_text(label(6)), line(2, moved));
    QCOMPARE(test::read_text(label(5)).count('\n'), 2);  // the user's box and one filled
    // An unreadable sidecar is said, and nothing is written.
    test::write_text(QDir(folder).filePath("tracks.json"), "{broken");
    const QByteArray before = test::read_bytes(label(4));
    QVERIFY(!interpolate_tracks(folder));
    QCOMPARE(test::read_bytes(label(4)), before);
  }

  void tracking_follows_a_curving_object_and_says_where_it_stops() {
    // A textured object moving on a curve over a textured background, then out of the picture.
    QTemporaryDir dir;
    const cv::Size size(640, 360);
    cv::Mat background(size, CV_8UC3);
    cv::RNG rng(8);
    rng.fill(background, cv::RNG::UNIFORM, cv::Scalar(20, 80, 20), cv::Scalar(90, 170, 90));
    cv::GaussianBlur(background, background, cv::Size(5, 5), 0);
    cv::Mat object(60, 80, CV_8UC3);
    for (int y = 0; y < object.rows; ++y)
      for (int x = 0; x < object.cols; ++x)
        object.at<cv::Vec3b>(y, x) = ((x / 10 + y / 10) % 2) ? cv::Vec3b(30, 40, 220) : cv::Vec3b(240, 200, 40);
    QVector<cv::Rect> truth;
    const int frames = 80;
    for (int i = 0; i < frames; ++i) {
      // Curving for 60 frames, then leaving on the right at speed.
      const int x = i < 60 ? 60 + i * 6 : 60 + 360 + (i - 60) * 25;
      const int y = static_cast<int>(150 + 80 * std::sin(i / 9.0));
      const cv::Rect r(x, y, object.cols, object.rows);
      truth << r;
      cv::Mat frame = background.clone();
      const cv::Rect visible = r & cv::Rect(cv::Point(0, 0), size);
      if (!visible.empty()) object(cv::Rect(0, 0, visible.width, visible.height)).copyTo(frame(visible));
      QVERIFY(cv::imwrite(dir.filePath(QStringLiteral("road_%1.png").arg(i, 6, 10, QChar('0'))).toStdString(), frame));
    }
    const cv::Rect& s = truth[0];
    const Expected<FilledIn> tracked =
        track_forward(dir.path(), 0, QRectF(s.x, s.y, s.width, s.height), 0, 1, std::nullopt, TrackerKind::Csrt);
    QVERIFY2(tracked, qPrintable(tracked.error()));
    const Expected<Tracks> tracks = read_tracks(dir.path());
    QVERIFY(tracks);
    double total = 0;
    for (int i = 1; i <= 60; ++i) {
      const QVector<TrackBox> on = tracks->frames.value(QStringLiteral("road_%1.png").arg(i, 6, 10, QChar('0')));
      QVERIFY2(on.size() == 1, qPrintable(QString("frame %1").arg(i)));
      const QRectF r = on[0].box.rect();
      const QRectF px(r.x() * size.width, r.y() * size.height, r.width() * size.width, r.height() * size.height);
      const QRectF t(truth[i].x, truth[i].y, truth[i].width, truth[i].height);
      const QRectF both = px & t;
      total += both.width() * both.height() /
               (px.width() * px.height() + t.width() * t.height() - both.width() * both.height());
    }
    const double mean = total / 60;
    qInfo("CSRT: mean IoU %.3f over 60 frames; %s", mean, qPrintable(tracked->stop));
    QVERIFY2(mean >= 0.7, qPrintable(QString::number(mean)));
    QVERIFY2(tracked->stop.contains("left the picture") || tracked->stop.contains("lost the object"),
             qPrintable(tracked->stop));
    // The start is a keyframe; --to stops early, at a keyframe of the track too.
    QVERIFY(tracks->frames.value("road_000000.png")[0].keyframe);
    const Expected<FilledIn> short_run =
        track_forward(dir.path(), 0, QRectF(s.x, s.y, s.width, s.height), 0, 2, 10, TrackerKind::Kcf);
    QVERIFY(short_run);
    QCOMPARE(short_run->stop, QString("Reached frame 10."));
    QCOMPARE(short_run->boxes, 10);
  }

  void the_annotator_opens_a_video() {
    ScriptedPrompts* prompts = ScriptedPrompts::install();
    QTemporaryDir dir;
    const QString video = dir.filePath("lane.avi");
    QVERIFY(write_video(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30));
    AnnotatorTab tab;
    tab.resize(1400, 900);
    tab.show();
    open_in(tab, prompts, video, 1);  // "Every 5th frame"
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().size(), 6);
    QCOMPARE(QFileInfo(tab.queue().path(0)).fileName(), QString("lane_000000.jpg"));
    QVERIFY(!tab.picture().empty());
    // A file that is no video: a clear message, nothing opened.
    test::write_text(dir.filePath("clip.mov"), "nope");
    open_in(tab, prompts, dir.filePath("clip.mov"), 0);
    QVERIFY(test::settle_window_work());
    QVERIFY(!prompts->messages.isEmpty());
    QVERIFY(prompts->messages.last().text.contains("could not be read as a video"));
    QCOMPARE(tab.queue().size(), 6);
  }

  void the_window_draws_interpolates_tracks_and_undoes() {
    // Twelve frames; a track drawn on frames 0 and 11 in the window, filled in, edited, undone.
    ScriptedPrompts* prompts = ScriptedPrompts::install();
    QTemporaryDir dir;
    const QString folder = dir.path();
    for (int i = 0; i < 12; ++i)
      test::write_image(QDir(folder).filePath(QStringLiteral("walk_%1.jpg").arg(i, 6, 10, QChar('0'))), 400, 300);
    test::write_text(QDir(folder).filePath("classes.txt"), "car\nbike\n");
    const auto label = [&](int i) {
      return QDir(folder).filePath(QStringLiteral("walk_%1.txt").arg(i, 6, 10, QChar('0')));
    };
    test::write_text(label(5), "0 0.9 0.9 0.05 0.05\n");  // the user's own box, without a track
    AnnotatorTab tab;
    tab.resize(1400, 900);
    tab.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tab));
    tab.open_folder(folder);
    QVERIFY(test::settle_window_work());
    QVERIFY(test::find<QWidget>(tab, "track_box")->isVisible());
    auto* view = test::find<ZoomableView>(tab, "canvas_view");
    const auto drag = [&](QPointF from, QPointF to) {
      const QPoint a = view->mapFromScene(from), b = view->mapFromScene(to);
      QTest::mousePress(view->viewport(), Qt::LeftButton, {}, a);
      QTest::mouseMove(view->viewport(), (a + b) / 2);
      QTest::mouseMove(view->viewport(), b);
      QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, b);
    };
    test::find<QPushButton>(tab, "btn_new_track")->click();
    QCOMPARE(tab.frame_tracks().picked(), 1);
    test::find<QComboBox>(tab, "combo_mode")->setCurrentText("Rectangle");
    // The first keyframe asks its class; the track's next ones take it.
    prompts->dialogs.push_back(test::answer_label("bike"));
    drag({40, 100}, {120, 160});
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    QCOMPARE(tab.shapes_on_screen()[0].shown.track, 1);
    tab.jump_to_image(11);
    QVERIFY(test::settle_window_work());
    drag({260, 60}, {380, 140});
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen()[0].shown.class_id, 1);
    QVERIFY(prompts->dialogs.empty());
    // A second box of the same track on one frame takes the first one's place.
    drag({250, 50}, {370, 130});
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    QCOMPARE(test::read_text(label(11)).count('\n'), 1);
    // Comma goes back to the track's previous keyframe.
    tab.handle_edit_key(Qt::Key_Comma);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().current(), 0);
    const QByteArray own = test::read_bytes(label(5));
    tab.interpolate_track();
    QVERIFY(test::settle_window_work());
    for (int i = 1; i < 11; ++i) QVERIFY2(QFileInfo::exists(label(i)), qPrintable(label(i)));
    QCOMPARE(tab.queue().mark(3), LabelMark::Annotated);  // the queue shows the frames filled
    // Frame 6 on the line between the two keyframes, within half a pixel.
    const auto values = [&](int i) {
      QVector<double> v;
      for (const QString& word : test::read_text(label(i)).split('\n').first().split(' ')) v << word.toDouble();
      return v;
    };
    const QVector<double> first = values(0), last = values(11), six = values(6);
    QCOMPARE(six[0], 1.0);
    for (int k = 1; k <= 4; ++k) {
      const double truth = first[k] + 6.0 / 11 * (last[k] - first[k]);
      QVERIFY(std::abs(six[k] - truth) * (k % 2 ? 400 : 300) < 0.5);
    }
    QVERIFY(test::read_bytes(label(5)).startsWith(own));  // the user's box is kept as it was
    // Filled boxes show as such until the user edits one, which makes it a keyframe.
    tab.jump_to_image(6);
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.shapes_on_screen().size(), 1);
    QVERIFY(tab.shapes_on_screen()[0].shown.filled);
    test::find<QComboBox>(tab, "combo_mode")->setCurrentText("Select/Move");
    const QPointF centre(six[1] * 400, six[2] * 300);
    drag(centre, centre + QPointF(10, 10));
    QVERIFY(test::settle_window_work());
    QVERIFY(!tab.shapes_on_screen()[0].shown.filled);
    Expected<Tracks> tracks = read_tracks(folder);
    QVERIFY(tracks);
    QVERIFY(tracks->frames.value("walk_000006.jpg").value(0).keyframe);
    // Interpolating again keeps that keyframe; undo takes the second fill back, then the edit.
    const QByteArray keyframe6 = test::read_bytes(label(6));
    const QByteArray filled4 = test::read_bytes(label(4));
    tab.interpolate_track();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_bytes(label(6)), keyframe6);
    QVERIFY(test::read_bytes(label(4)) != filled4);
    tab.undo();
    QVERIFY(test::settle_window_work());
    QCOMPARE(test::read_bytes(label(4)), filled4);
    // Undoing the first fill takes its files away again: frame 3 had none.
    tab.undo();  // the move on frame 6
    QVERIFY(test::settle_window_work());
    tab.undo();  // the first fill
    QVERIFY(test::settle_window_work());
    QVERIFY(!QFileInfo::exists(label(3)));
    QCOMPARE(tab.queue().mark(3), LabelMark::Pending);
    QCOMPARE(test::read_bytes(label(5)), own);
    QVERIFY(QFileInfo::exists(label(0)) && QFileInfo::exists(label(11)));
    QVERIFY2(prompts->messages.isEmpty(), qPrintable(prompts->messages.value(0).text));
    // A track file that cannot be read is said, and no label file is touched.
    test::write_text(QDir(folder).filePath("tracks.json"), "{broken");
    tab.open_folder(folder);
    QVERIFY(test::settle_window_work());
    const QByteArray eleven = test::read_bytes(label(11));
    tab.interpolate_track();
    QVERIFY(test::settle_window_work());
    QVERIFY(!prompts->messages.isEmpty() && prompts->messages.last().text.contains("could not be read"));
    QCOMPARE(test::read_bytes(label(11)), eleven);
    QCOMPARE(test::read_text(QDir(folder).filePath("tracks.json")), QString("{broken"));
  }

  void a_model_s_detections_are_followed_by_overlap() {
    // Ten frames; the "model" sees the object moving 8 px a frame and a second object of the class
    // far away, then loses it on frame 7.
    QTemporaryDir dir;
    for (int i = 0; i < 10; ++i)
      test::write_image(dir.filePath(QStringLiteral("cam_%1.png").arg(i, 6, 10, QChar('0'))), 320, 240);
    const auto truth = [](int i) { return QRectF(20 + 8 * i, 50, 60, 40); };
    QStringList asked;
    auto follower = detection_follower([&](const QString& picture) -> Expected<QVector<QRectF>> {
      asked << QFileInfo(picture).fileName();
      const int i = QFileInfo(picture).completeBaseName().section('_', 1).toInt();
      QVector<QRectF> found{QRectF(250, 180, 50, 40)};
      if (i < 7) found << truth(i);
      return found;
    });
    const Expected<TrackFill> fill = plan_following(dir.path(), 0, truth(0), 3, 5, std::nullopt, *follower);
    QVERIFY2(fill, qPrintable(fill.error()));
    QCOMPARE(fill->filled.boxes, 6 + 1);  // frames 1 to 6, and the keyframe on frame 0
    QCOMPARE(fill->filled.stop, QString("The model lost the object at frame 7."));
    QCOMPARE(asked.size(), 7);
    // Planned only: nothing is on disk until it is written.
    QVERIFY(!QFileInfo::exists(dir.filePath("cam_000003.txt")));
    QVERIFY(write_fill(dir.path(), *fill));
    const QStringList three = test::read_text(dir.filePath("cam_000003.txt")).split(' ');
    QCOMPARE(three[0], QString("3"));
    QVERIFY(std::abs(three[1].toDouble() * 320 - truth(3).center().x()) < 0.5);
    // A model that fails is said, and nothing is written.
    auto failing = detection_follower([](const QString&) -> Expected<QVector<QRectF>> { return failure("no engine"); });
    const Expected<TrackFill> failed = plan_following(dir.path(), 0, truth(0), 3, 6, std::nullopt, *failing);
    QVERIFY(!failed);
    QVERIFY(failed.error().contains("no engine"));
  }

  void the_window_tracks_forward_from_the_picked_box() {
    ScriptedPrompts* prompts = ScriptedPrompts::install();
    QTemporaryDir dir;
    const QString video = dir.filePath("lane.avi");
    QVERIFY(write_video(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 20));
    AnnotatorTab tab;
    tab.resize(1400, 900);
    tab.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tab));
    open_in(tab, prompts, video, 0);  // every frame
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().size(), 20);
    // Nothing picked: said, nothing written.
    tab.track_forward();
    QVERIFY(prompts->messages.last().text.contains("Pick the box"));
    // The striped box of frame 0 (x 10..60, y 90..150), drawn, then carried onward.
    tab.add_annotation(QPolygonF(QRectF(10, 90, 50, 60)), "car", "Rectangle");
    QVERIFY(test::settle_window_work());
    tab.jump_to_image(0);
    QVERIFY(test::settle_window_work());
    auto* view = test::find<ZoomableView>(tab, "canvas_view");
    test::find<QComboBox>(tab, "combo_mode")->setCurrentText("Select/Move");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->mapFromScene(QPointF(35, 92)));
    tab.track_forward();
    QVERIFY(test::settle_window_work());
    const QString frames = dir.filePath("lane_frames");
    const Expected<Tracks> tracks = read_tracks(frames);
    QVERIFY2(tracks, qPrintable(tracks.error()));
    QCOMPARE(tracks->frames.size(), 20);
    // Frame 10: the box moved 30 px right.
    const QVector<TrackBox> ten = tracks->frames.value("lane_000010.jpg");
    QCOMPARE(ten.size(), 1);
    QVERIFY(!ten[0].keyframe);
    QVERIFY2(std::abs(ten[0].box.cx * 320 - 65) < 4, qPrintable(QString::number(ten[0].box.cx * 320)));
    QCOMPARE(tab.shapes_on_screen()[0].shown.track, 1);
    // One undo takes the whole run back.
    tab.undo();
    QVERIFY(test::settle_window_work());
    QVERIFY(!QFileInfo::exists(QDir(frames).filePath("lane_000010.txt")));
    // With a model loaded, its detections of the class can be followed instead: this one sees the
    // box 3 px further right on each frame, and a car elsewhere, until frame 12.
    tab.use_model(std::make_shared<SeesTheBox>());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->mapFromScene(QPointF(35, 92)));
    prompts->choices.push_back(1);  // "Model's Detections"
    tab.track_forward();
    QVERIFY(test::settle_window_work());
    const Expected<Tracks> followed = read_tracks(frames);
    QVERIFY(followed);
    QCOMPARE(followed->frames.size(), 12);  // frames 0 to 11
    const QVector<TrackBox> five = followed->frames.value("lane_000005.jpg");
    QCOMPARE(five.size(), 1);
    QVERIFY(std::abs(five[0].box.cx * 320 - (35 + 15)) < 0.5);
  }
};

QTEST_MAIN(TestVideo)
#include "test_video.moc"

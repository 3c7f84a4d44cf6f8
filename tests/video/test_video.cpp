// Videos made datasets: videos written here with OpenCV's VideoWriter (MJPG in AVI, mp4v in MP4
// where the back end writes it) of a textured object moving over a textured background, read
// back into frames by the command line's and the window's code path.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "annotate/annotator_tab.h"
#include "core/image_files.h"
#include "dataset/split_export.h"
#include "support/fixtures.h"
#include "support/scripted_prompts.h"
#include "support/window_work.h"
#include "video/frame_extraction.h"
#include "video/tracks.h"

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
    prompts->open_files.push_back(video);
    prompts->items.push_back(1);    // "Every 5th frame"
    prompts->choices.push_back(1);  // keep near-identical frames
    tab.open_video();
    QVERIFY(test::settle_window_work());
    QCOMPARE(tab.queue().size(), 6);
    QCOMPARE(QFileInfo(tab.queue().path(0)).fileName(), QString("lane_000000.jpg"));
    QVERIFY(!tab.picture().empty());
    // A file that is no video: a clear message, nothing opened.
    test::write_text(dir.filePath("clip.mov"), "nope");
    prompts->open_files.push_back(dir.filePath("clip.mov"));
    prompts->items.push_back(0);
    prompts->choices.push_back(1);
    tab.open_video();
    QVERIFY(test::settle_window_work());
    QVERIFY(!prompts->messages.isEmpty());
    QVERIFY(prompts->messages.last().text.contains("could not be read as a video"));
    QCOMPARE(tab.queue().size(), 6);
  }
};

QTEST_MAIN(TestVideo)
#include "test_video.moc"

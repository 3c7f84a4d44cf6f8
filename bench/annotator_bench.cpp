// Annotator benchmarks: a folder of 100,000 images, stepping through 24-megapixel JPEGs, and an
// image with 500 shapes. Each is timed several times; medians are printed.
#include <QGraphicsPolygonItem>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QScrollBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "annotate/annotator_tab.h"
#include "shell/prompts.h"

using quorlan::AnnotatorTab;

namespace {

double median_ms(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer timer;
    timer.start();
    work();
    times.push_back(timer.nsecsElapsed() / 1e6);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void big_folder(const QString& root) {
  const QString folder = QDir(root).filePath("many");
  QDir().mkpath(folder);
  std::vector<uchar> png;
  cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(40, 90, 200)), png);
  const QByteArray bytes(reinterpret_cast<const char*>(png.data()), static_cast<int>(png.size()));
  for (int i = 0; i < 100000; ++i) {
    const QString base = QDir(folder).filePath(QStringLiteral("img_%1").arg(i));
    QFile f(base + ".png");
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    if (i % 3 == 0) {
      QFile l(base + ".txt");
      l.open(QIODevice::WriteOnly);
      l.write("0 0.1 0.1 0.5 0.1 0.5 0.5\n");
    }
  }
  const double floor = median_ms(5, [&] { QDir(folder).entryList(QDir::Files, QDir::Unsorted); });
  double scroll = 0;
  const double ours = median_ms(5, [&] {
    AnnotatorTab tab;
    tab.resize(1400, 900);
    tab.show();
    tab.open_folder(folder);
    QApplication::processEvents();
  });
  {
    AnnotatorTab tab;
    tab.resize(1400, 900);
    tab.show();
    tab.open_folder(folder);
    QApplication::processEvents();
    QScrollBar* bar = tab.list_images->verticalScrollBar();
    scroll = median_ms(20, [&] {
      bar->setValue((bar->value() + bar->maximum() / 7) % bar->maximum());
      tab.list_images->viewport()->grab();
    });
  }
  std::printf("folder of 100000 images listed, marked and first image shown: median %.1f ms "
              "(bare directory listing %.1f ms)\n", ours, floor);
  std::printf("list scroll step with repaint: median %.2f ms\n", scroll);
  std::printf("annotator-folder: ratio %.2f (goal <= 1.0, seconds for 100000 images)\n", ours / 1000.0);
}

void big_images(const QString& root) {
  const QString folder = QDir(root).filePath("big");
  QDir().mkpath(folder);
  cv::RNG rng(7);
  QStringList paths;
  for (int i = 0; i < 3; ++i) {
    cv::Mat small(400, 600, CV_8UC3);
    rng.fill(small, cv::RNG::UNIFORM, 0, 255);
    cv::Mat big;
    cv::resize(small, big, cv::Size(6000, 4000), 0, 0, cv::INTER_CUBIC);  // photo-like, 24 MP
    const QString path = QDir(folder).filePath(QStringLiteral("photo_%1.jpg").arg(i));
    cv::imwrite(path.toStdString(), big, {cv::IMWRITE_JPEG_QUALITY, 90});
    paths << path;
  }
  AnnotatorTab tab;
  tab.resize(1400, 900);
  tab.show();
  tab.open_folder(folder);
  QApplication::processEvents();
  const double ours = median_ms(7, [&] {
    if (tab.current_idx == 2)
      tab.jump_to_image(0);
    else
      tab.next_image();
    QApplication::processEvents();  // includes the first paint of the new picture
  });
  int k = 0;
  const double floor = median_ms(7, [&] { cv::imread(paths[k++ % 3].toStdString(), cv::IMREAD_COLOR); });
  std::printf("next image, 24 MP JPEG: median %.1f ms; bare cv::imread %.1f ms\n", ours, floor);
  std::printf("annotator-next-image: ratio %.2f (goal <= 1.3)\n", ours / floor);
}

void many_shapes(const QString& root) {
  const QString folder = QDir(root).filePath("shapes");
  QDir().mkpath(folder);
  cv::imwrite(QDir(folder).filePath("a.png").toStdString(), cv::Mat(1000, 1000, CV_8UC3, cv::Scalar(0, 0, 0)));
  AnnotatorTab tab;
  tab.open_folder(folder);
  for (int i = 0; i < 500; ++i) {
    const double x = (i % 25) * 40.0, y = (i / 25) * 50.0;
    QPolygonF poly;
    for (int v = 0; v < 32; ++v) poly << QPointF(x + 15 + 10 * std::cos(v / 5.0), y + 20 + 10 * std::sin(v / 5.0));
    tab.add_annotation(poly, QStringLiteral("c%1").arg(i % 12), "Circle");
  }
  int step = 0;
  const double ours = median_ms(15, [&] {
    // A real edit each time (one shape moved), so every round writes the whole file.
    tab.annotations[0].item->moveBy((++step % 2) ? 1 : -1, 0);
    tab.update_annotation_colors();
    tab.save_current_annotations();
  });
  std::printf("500 shapes of 32 vertices recoloured and saved after a move: median %.2f ms\n", ours);
  std::printf("annotator-500-shapes: ratio %.2f (goal <= 1.0, units of 50 ms)\n", ours / 50.0);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QTemporaryDir root;
  const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
  if (only.isEmpty() || only == "shapes") many_shapes(root.path());
  if (only.isEmpty() || only == "images") big_images(root.path());
  if (only.isEmpty() || only == "folder") big_folder(root.path());
  return 0;
}

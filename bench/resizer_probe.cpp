// Runs the studio's resizer batch over a folder and prints its wall time in seconds.
// Usage: bench-resizer-probe INPUT_DIR OUTPUT_DIR WIDTH DPI [TARGET_KB]
// (JPEGs in, JPEGs out; PNGs in, PNGs out when the folder holds no JPEG.)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <cstdio>

#include "imaging/resize_pipeline.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 5) return 2;
  QStringList queue;
  const QDir in(QString::fromLocal8Bit(argv[1]));
  for (const QString& n : in.entryList({"*.jpg"}, QDir::Files, QDir::Name)) queue << in.filePath(n);
  quorlan::ResizeSettings s;
  s.format = "JPEG";
  if (queue.isEmpty()) {
    for (const QString& n : in.entryList({"*.png"}, QDir::Files, QDir::Name)) queue << in.filePath(n);
    s.format = "PNG";
  }
  s.width_text = argv[3];
  s.dpi = QString(argv[4]).toDouble();
  if (argc > 5) {
    s.enable_comp = true;
    s.target_kb = QString(argv[5]).toDouble();
  }
  quorlan::ensure_vips();
  QElapsedTimer t;
  t.start();
  const quorlan::BatchResult r = quorlan::run_resize_batch(queue, QString::fromLocal8Bit(argv[2]), s);
  std::printf("%.3f %d\n", t.nsecsElapsed() / 1e9, r.written);
  return r.written == queue.size() ? 0 : 1;
}

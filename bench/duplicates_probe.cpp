// Runs the studio's duplicate and near-duplicate search over a folder (as the health check does)
// and prints its wall time in seconds, then one line per group found.
// Usage: bench-duplicates-probe FOLDER
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "dataset/dataset_qa.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  QElapsedTimer t;
  t.start();
  const quorlan::QaFindings f = quorlan::examine_dataset_quality(QString::fromLocal8Bit(argv[1]), {}, 640);
  std::printf("%.3f\n", t.nsecsElapsed() / 1e9);
  for (const quorlan::QaSection& s : f.sections)
    if (s.title.startsWith("Exact") || s.title.startsWith("Near"))
      for (const QString& item : s.items) std::printf("%s\n", item.toLocal8Bit().constData());
  return 0;
}

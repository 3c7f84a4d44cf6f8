// Dataset tools against plain file tools in the same run: the export of 10,000 annotated images
// against cp, and the health check and analytics over 100,000 label files against cat.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "dataset/class_counts.h"
#include "dataset/health_check.h"
#include "dataset/split_export.h"

using namespace quorlan;

namespace {

double median_ms(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

double time_ms(const std::function<void()>& work) {
  QElapsedTimer timer;
  timer.start();
  work();
  return timer.nsecsElapsed() / 1e6;
}

void shell(const QString& command) {
  if (QProcess::execute("/bin/sh", {"-c", command}) != 0) std::fprintf(stderr, "failed: %s\n", qPrintable(command));
}

const char* kLabel =
    "0 0.100000 0.100000 0.500000 0.100000 0.500000 0.500000 0.100000 0.500000\n"
    "1 0.600000 0.600000 0.900000 0.600000 0.900000 0.900000\n";

void export_bench(const QString& root, int runs) {
  const QString src = QDir(root).filePath("images");
  QDir().mkpath(src);
  std::mt19937 rng(1);
  QByteArray blob(100 * 1024, '\0');
  QStringList images;
  for (int i = 0; i < 10000; ++i) {
    for (auto& c : blob) c = static_cast<char>(rng());
    const QString base = QDir(src).filePath(QStringLiteral("frame_%1").arg(i, 5, 10, QLatin1Char('0')));
    QFile f(base + ".jpg");
    f.open(QIODevice::WriteOnly);
    f.write(blob);
    QFile l(base + ".txt");
    l.open(QIODevice::WriteOnly);
    l.write(kLabel);
    images << base + ".jpg";
  }
  std::vector<double> ours, cp;
  for (int r = 0; r < runs; ++r) {
    const QString a = QDir(root).filePath(QStringLiteral("ours%1").arg(r));
    const QString b = QDir(root).filePath(QStringLiteral("cp%1").arg(r));
    auto run_ours = [&] {
      QVector<ImageLabelPair> pairs = collect_annotated_pairs(images);
      shuffle_pairs(pairs);
      const ExportResult res =
          export_dataset(pairs, plan_split(pairs.size(), 0.7, 0.2), a, LabelFormat::Segmentation, {"car", "bus"});
      if (!res.error.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(res.error));
    };
    auto run_cp = [&] {
      shell(QStringLiteral("mkdir -p '%1' && cd '%2' && find . -maxdepth 1 -type f -print0 | "
                           "xargs -0 cp --preserve=timestamps -t '%1'")
                .arg(b, src));
    };
    shell("sync");
    if (r % 2 == 0) {  // alternate who goes first, so neither always meets the other's write-back
      ours.push_back(time_ms(run_ours));
      shell("sync");
      cp.push_back(time_ms(run_cp));
    } else {
      cp.push_back(time_ms(run_cp));
      shell("sync");
      ours.push_back(time_ms(run_ours));
    }
    QDir(a).removeRecursively();
    QDir(b).removeRecursively();
  }
  const double o = median_ms(ours), c = median_ms(cp);
  std::printf("export of 10000 images (~100 KB) + labels, segmentation: median %.0f ms; cp of the same files %.0f ms\n",
              o, c);
  std::printf("dataset-export: ratio %.2f (goal <= 1.5)\n", o / c);
}

void scan_bench(const QString& root, int runs) {
  const QString dir = QDir(root).filePath("labels");
  QDir().mkpath(dir);
  QStringList images;
  for (int i = 0; i < 100000; ++i) {
    const QString base = QDir(dir).filePath(QStringLiteral("img_%1").arg(i));
    QFile f(base + ".jpg");
    f.open(QIODevice::WriteOnly);
    QFile l(base + ".txt");
    l.open(QIODevice::WriteOnly);
    l.write(kLabel);
    images << base + ".jpg";
  }
  std::vector<double> health, stats, cat;
  for (int r = 0; r < runs; ++r) {
    health.push_back(time_ms([&] { examine_folder(dir); }));
    stats.push_back(time_ms([&] { count_class_objects(images, {"car", "bus"}); }));
    cat.push_back(time_ms([&] {
      shell(QStringLiteral("cd '%1' && find . -maxdepth 1 -name '*.txt' -print0 | xargs -0 cat > /dev/null").arg(dir));
    }));
  }
  const double h = median_ms(health), s = median_ms(stats), c = median_ms(cat);
  std::printf("100000 label files: health check %.0f ms, analytics %.0f ms, cat %.0f ms\n", h, s, c);
  std::printf("dataset-health: ratio %.2f (goal <= 3.0)\n", h / c);
  std::printf("dataset-analytics: ratio %.2f (goal <= 3.0)\n", s / c);
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QTemporaryDir root(QDir(qEnvironmentVariable("BENCH_DIR", QDir::tempPath())).filePath("quorlan-bench-XXXXXX"));
  const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
  if (only.isEmpty() || only == "export") export_bench(root.path(), 4);
  if (only.isEmpty() || only == "scan") scan_bench(root.path(), 5);
  return 0;
}

// The enricher's variant writer and the splitter over generated inputs, on all cores as the tabs
// run them; prints the wall time in seconds.
// Usage: bench-imaging-probe enrich IMAGE OUT COUNT [labels] | split INPUT_DIR OUT ROWS COLS [labels]
// With "labels" the outputs get their labels carried as the tabs do with the box ticked.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QtConcurrent>
#include <cstdio>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/label_geometry.h"
#include "imaging/augment.h"
#include "imaging/tile_plan.h"
#include "imaging/tile_split.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 5) return 2;
  const QString mode = argv[1];
  cv::setNumThreads(1);  // as the tabs' batches run: parallel across files, one OpenCV thread each
  QElapsedTimer t;
  if (mode == "enrich") {
    const cv::Mat base = cv::imread(argv[2]);
    const QString out = QString::fromLocal8Bit(argv[3]);
    QVector<int> idx(QString(argv[4]).toInt());
    std::iota(idx.begin(), idx.end(), 0);
    const quorlan::AugmentRanges ranges;
    const bool labels = argc > 5 && QString(argv[5]) == "labels";
    t.start();
    quorlan::VariantLabels carried;
    if (labels) carried.shapes = quorlan::read_source_labels(argv[2], QSize(base.cols, base.rows)).shapes;
    QtConcurrent::blockingMap(idx, [&](int i) {
      const QString path = QDir(out).filePath(QStringLiteral("warped_enriched_0_var_%1.jpg").arg(i + 1));
      (void)quorlan::write_labelled_variant(base, ranges, path, labels ? &carried : nullptr);
    });
  } else {
    const QStringList files = quorlan::list_split_images(QString::fromLocal8Bit(argv[2]));
    const int rows = QString(argv[4]).toInt(), cols = QString(argv[5]).toInt();
    quorlan::LabelCarry carry;
    carry.enabled = argc > 6 && QString(argv[6]) == "labels";
    t.start();
    QtConcurrent::blockingMap(files, [&](const QString& f) {
      quorlan::split_one_image(f, QString::fromLocal8Bit(argv[3]), rows, cols, rows * cols, true, carry);
    });
  }
  std::printf("%.3f\n", t.nsecsElapsed() / 1e9);
  return 0;
}

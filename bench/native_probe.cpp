// Predicts every picture of a folder through the studio's model interface (the engine's host for
// .pt weights, the native runtime for an exported model) and prints, in milliseconds, the time to
// the first answer (loading included) and the median time of one picture after it.
// Usage: bench-native-probe WEIGHTS FOLDER ROUNDS
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine_client/prediction_host.h"
#include "predict/predicting_model.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 4) return 2;
  const QString weights = QString::fromLocal8Bit(argv[1]);
  const QDir folder(QString::fromLocal8Bit(argv[2]));
  const int rounds = QString(argv[3]).toInt();
  QStringList pictures;
  for (const QString& name : folder.entryList({"*.jpg", "*.png"}, QDir::Files, QDir::Name))
    pictures << folder.filePath(name);
  if (pictures.isEmpty()) return 2;
  QElapsedTimer first;
  first.start();
  const auto model = quorlan::load_predicting_model("bench", weights);
  if (!model) {
    std::fprintf(stderr, "%s\n", qPrintable(model.error()));
    return 1;
  }
  if (!(*model)->predict(pictures[0], 0.25, 0, false)) return 1;
  const double first_ms = first.nsecsElapsed() / 1e6;
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r)
    for (const QString& picture : pictures) {
      QElapsedTimer t;
      t.start();
      if (!(*model)->predict(picture, 0.25, 0, false)) return 1;
      times.push_back(t.nsecsElapsed() / 1e6);
    }
  std::sort(times.begin(), times.end());
  std::printf("%s %.3f %.3f\n", qPrintable((*model)->runtime()), first_ms, times[times.size() / 2]);
  quorlan::PredictionHost::instance().shutdown();
  return 0;
}

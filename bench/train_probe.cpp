// Runs one training run through the studio's trainer thread and prints its wall time in seconds.
// Usage: bench-train-probe DATA_YAML PROJECT NAME EPOCHS
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "engine_client/engine_host.h"
#include "support/fixtures.h"
#include "training/trainer_thread.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 5) return 2;
  quorlan::HAS_YOLO();  // the start-up check, done before the click in the studio
  QElapsedTimer timer;
  timer.start();
  quorlan::YoloTrainerThread thread(
      quorlan::test::small_run_params("yolov8n.yaml", argv[1], argv[2], argv[3], QString(argv[4]).toInt()));
  int code = 1;
  // Exactly one of finished, stopped or error ends the run.
  QObject::connect(&thread, &quorlan::YoloTrainerThread::finished_signal, [&] {
    code = 0;
    app.quit();
  });
  QObject::connect(&thread, &quorlan::YoloTrainerThread::stopped_signal, &app, &QCoreApplication::quit);
  QObject::connect(&thread, &quorlan::YoloTrainerThread::error_signal, [&](const QString& e) {
    std::fprintf(stderr, "%s\n", qPrintable(e));
    app.quit();
  });
  thread.start();
  app.exec();
  std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
  return code;
}

// Runs one training run through the studio's trainer thread and prints its wall time in seconds.
// Usage: bench-train-probe DATA_YAML PROJECT NAME EPOCHS
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "engine_client/engine_host.h"
#include "training/trainer_thread.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 5) return 2;
  quorlan::HAS_YOLO();  // the start-up check, done before the click in the studio
  QElapsedTimer timer;
  timer.start();
  quorlan::YoloTrainerThread thread(QVariantMap{{"model_path", "yolov8n.yaml"},
                                                {"data_yaml", QString(argv[1])},
                                                {"project", QString(argv[2])},
                                                {"name", QString(argv[3])},
                                                {"epochs", QString(argv[4]).toInt()},
                                                {"imgsz", 64},
                                                {"batch", 4},
                                                {"workers", 0},
                                                {"optimizer", "auto"},
                                                {"lr0", 0.01},
                                                {"lrf", 0.01},
                                                {"close_mosaic", 10},
                                                {"device", "cpu"}});
  int code = 1;
  QObject::connect(&thread, &quorlan::YoloTrainerThread::finished_signal, [&] { code = 0; });
  QObject::connect(&thread, &quorlan::YoloTrainerThread::error_signal,
                   [](const QString& e) { std::fprintf(stderr, "%s\n", qPrintable(e)); });
  QObject::connect(&thread, &QThread::finished, &app, &QCoreApplication::quit);
  thread.start();
  app.exec();
  std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
  return code;
}

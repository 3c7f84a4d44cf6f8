// Pages through a folder in the studio's inference browser and prints the median time of one
// page step (prediction, the drawn image, the view) in milliseconds.
// Usage: bench-predict-probe WEIGHTS FOLDER IMGSZ STEPS
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSpinBox>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "inference/inference_tab.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc < 5) return 2;
  quorlan::InferenceTab tab;
  tab.findChild<QLineEdit*>("entry_inf_weights")->setText(QString::fromLocal8Bit(argv[1]));
  tab.findChild<QLineEdit*>("entry_inf_folder")->setText(QString::fromLocal8Bit(argv[2]));
  tab.findChild<QSpinBox*>("spin_inf_imgsz")->blockSignals(true);
  tab.findChild<QSpinBox*>("spin_inf_imgsz")->setValue(QString(argv[3]).toInt());
  tab.findChild<QSpinBox*>("spin_inf_imgsz")->blockSignals(false);
  tab.init_inference();  // loads the model and shows the first image
  if (!tab.inf_model) return 1;
  const int steps = QString(argv[4]).toInt();
  for (int i = 0; i < 3; ++i) tab.inf_next_image();  // warm-up
  std::vector<double> times;
  for (int i = 0; i < steps; ++i) {
    QElapsedTimer t;
    t.start();
    tab.inf_next_image();
    times.push_back(t.nsecsElapsed() / 1e6);
  }
  std::sort(times.begin(), times.end());
  std::printf("%.3f\n", times[times.size() / 2]);
  return 0;
}

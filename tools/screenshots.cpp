// Writes PNGs of the main window on every tab in both themes, and of the user guide.
// Usage: quorlan-screenshots OUTPUT_DIR [IMAGE_FOLDER [DATA_YAML [MODEL]]]
#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QComboBox>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>

#include "training/config_tab.h"
#include "training/training_tab.h"

#include "annotate/annotator_tab.h"
#include "app/quorlan_studio.h"
#include "shell/help_dialog.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
  QDir().mkpath(out);
  quorlan::QuorlanStudio window;
  window.show();
  if (argc > 2) {
    window.tab_workspace->open_folder(QString::fromLocal8Bit(argv[2]));
    window.tab_workspace->next_image();
  }
  const char* names[] = {"resizer", "splitter", "enricher", "annotator", "config", "training", "inference"};
  for (bool dark : {true, false}) {
    window.apply_theme(dark);
    for (int i = 0; i < window.tabs->count(); ++i) {
      window.tabs->setCurrentIndex(i);
      if (i == 3) window.tab_workspace->fit_canvas_to_screen();
      app.processEvents();
      const QString name = QStringLiteral("%1-%2%3.png").arg(i).arg(names[i], dark ? "" : "-light");
      window.grab().save(QDir(out).filePath(name));
    }
  }
  if (argc > 3) {  // a training run: the console filling, then the result plots
    window.apply_theme(true);
    window.tab_config->data_yaml_input->setText(QString::fromLocal8Bit(argv[3]));
    window.tab_config->model_combo->setCurrentText(argc > 4 ? QString::fromLocal8Bit(argv[4]) : "yolov8n.yaml");
    window.tab_config->epochs_input->setValue(3);
    window.tab_config->imgsz_input->setValue(64);
    window.tab_config->batch_input->setValue(4);
    window.tab_config->workers_input->setValue(0);
    window.tab_config->project_dir_input->setText(QDir(out).filePath("runs"));
    window.start_training();
    QElapsedTimer timer;
    timer.start();
    while (window.tab_progress->bar_train_progress->value() == 0 && timer.elapsed() < 300000) app.processEvents(QEventLoop::AllEvents, 50);
    window.grab().save(QDir(out).filePath("training-running.png"));
    while (window.tab_progress->is_busy() && timer.elapsed() < 600000) app.processEvents(QEventLoop::AllEvents, 50);
    app.processEvents();
    window.grab().save(QDir(out).filePath("training-done.png"));
  }
  quorlan::HelpDialog guide(&window);
  guide.resize(750, 600);
  guide.show();
  app.processEvents();
  guide.grab().save(QDir(out).filePath("guide.png"));
  return 0;
}

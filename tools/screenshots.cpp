// Writes PNGs of the main window on every tab in both themes, and of the user guide; with
// options, also of the tabs at work.
// Usage: quorlan-screenshots OUTPUT_DIR [--images DIR] [--data DATA_YAML] [--weights PT] [--infer DIR]
//   --images  a folder for the annotator, the resizer queue, the splitter and the enricher
//   --data    a data.yaml to train on for three epochs (the console filling, then the plots)
//   --weights a model for the inference browser (over --infer, at --imgsz) and the auto-labeller
// Message boxes are recorded, not shown, so the tool never waits for a click.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QSpinBox>
#include <QTabWidget>
#include <deque>
#include <memory>

#include "annotate/annotator_tab.h"
#include "app/quorlan_studio.h"
#include "engine_client/prediction_host.h"
#include "imaging/enricher_tab.h"
#include "imaging/resizer_tab.h"
#include "imaging/splitter_tab.h"
#include "inference/inference_tab.h"
#include "shell/help_dialog.h"
#include "training/config_tab.h"
#include "training/training_tab.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"

namespace {
void wait_until(QApplication& app, const std::function<bool()>& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < ms) app.processEvents(QEventLoop::AllEvents, 50);
  app.processEvents();
}
}  // namespace

namespace {

// Prompts for an unattended run: the folders and files to answer come from the command line,
// every message is printed, and no dialog ever waits for a hand.
class UnattendedPrompts : public quorlan::UserPrompts {
 public:
  std::deque<QString> directories;
  std::deque<QString> open_files;

  QString get_existing_directory(QWidget*, const QString&, const QString&) override { return next(directories); }
  QString get_open_file_name(QWidget*, const QString&, const QString&, const QString&) override {
    return next(open_files);
  }
  QStringList get_open_file_names(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString get_save_file_name(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  void message(QWidget*, quorlan::MessageKind, const QString& title, const QString& text) override {
    std::printf("[%s] %s\n", qPrintable(title), qPrintable(text));
  }
  int exec_dialog(QDialog&) override { return QDialog::Rejected; }
  int choose(QWidget*, const QString&, const QString&, const QStringList&) override { return -1; }
  QString get_text(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  int get_item(QWidget*, const QString&, const QString&, const QStringList&) override { return -1; }

 private:
  static QString next(std::deque<QString>& answers) {
    if (answers.empty()) return {};
    const QString answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  const QString out = args.size() > 1 ? args[1] : QStringLiteral("screenshots");
  const auto option = [&](const QString& name) {
    const int i = args.indexOf(name);
    return i > 0 && i + 1 < args.size() ? args[i + 1] : QString();
  };
  QDir().mkpath(out);
  auto owned = std::make_unique<UnattendedPrompts>();
  UnattendedPrompts* prompts = owned.get();
  quorlan::install_prompts(std::move(owned));
  quorlan::QuorlanStudio window;
  window.show();
  const auto shot = [&](const QString& name) { window.grab().save(QDir(out).filePath(name + ".png")); };
  // Folders, pictures and models are read beside the window: the shots wait for them.
  const auto settle = [&] {
    while (quorlan::work_beside_window_in_flight() > 0) app.processEvents(QEventLoop::AllEvents, 20);
  };

  const QString images = option("--images");
  if (!images.isEmpty()) {
    window.tab_workspace->open_folder(images);
    settle();
    window.tab_workspace->next_image();
    settle();
    prompts->directories.push_back(images);
    window.tab_resizer->resizer_add_folder();
    window.tab_resizer->findChild<QLineEdit*>(QStringLiteral("entry_resize_w"))->setText("1200");
    window.tab_resizer->findChild<QListWidget*>(QStringLiteral("list_resizer_queue"))->setCurrentRow(0);
    window.tab_splitter->findChild<QLineEdit*>(QStringLiteral("entry_split_in"))->setText(images);
    window.tab_splitter->findChild<QLineEdit*>(QStringLiteral("entry_split_out"))->setText(QDir(out).filePath("tiles"));
    window.tab_aug->aug_open_folder(images);
  }
  const char* names[] = {"resizer", "splitter", "enricher", "annotator", "config", "training", "inference"};
  for (bool dark : {true, false}) {
    window.apply_theme(dark);
    for (int i = 0; i < window.tabs->count(); ++i) {
      window.tabs->setCurrentIndex(i);
      if (i == 3) window.tab_workspace->fit_canvas_to_screen();
      app.processEvents();
      shot(QStringLiteral("%1-%2%3").arg(i).arg(names[i], dark ? "" : "-light"));
    }
  }
  window.apply_theme(true);

  if (!images.isEmpty()) {  // the enricher: a warped frame, then an augmented one
    window.tabs->setCurrentIndex(2);
    quorlan::EnricherTab* aug = window.tab_aug;
    const cv::Mat& img = *aug->aug_display_cv_img;
    aug->findChild<QComboBox*>(QStringLiteral("aug_combo_mode"))->setCurrentText("Warp");
    for (QPointF p : {QPointF(img.cols * 0.1, img.rows * 0.15), QPointF(img.cols * 0.85, img.rows * 0.05),
                      QPointF(img.cols * 0.95, img.rows * 0.9), QPointF(img.cols * 0.05, img.rows * 0.8)})
      aug->handle_aug_canvas_point(p);
    app.processEvents();
    shot("enricher-warped");
    aug->findChild<QDoubleSpinBox*>(QStringLiteral("aug_w_max"))->setValue(15);
    aug->run_aug_preview();
    app.processEvents();
    shot("enricher-augmented");
  }

  const QString data = option("--data");
  if (!data.isEmpty()) {  // a training run: the console filling, then the result plots
    window.tab_config->findChild<QLineEdit*>(QStringLiteral("data_yaml_input"))->setText(data);
    window.tab_config->findChild<QComboBox*>(QStringLiteral("model_combo"))->setCurrentText("yolov8n.yaml");
    window.tab_config->findChild<QSpinBox*>(QStringLiteral("epochs_input"))->setValue(3);
    window.tab_config->findChild<QSpinBox*>(QStringLiteral("imgsz_input"))->setValue(64);
    window.tab_config->findChild<QSpinBox*>(QStringLiteral("batch_input"))->setValue(4);
    window.tab_config->findChild<QSpinBox*>(QStringLiteral("workers_input"))->setValue(0);
    window.tab_config->findChild<QLineEdit*>(QStringLiteral("project_dir_input"))->setText(QDir(out).filePath("runs"));
    window.start_training();
    wait_until(
        app,
        [&] {
          return window.tab_progress->findChild<QProgressBar*>(QStringLiteral("bar_train_progress"))->value() > 0;
        },
        300000);
    shot("training-running");
    wait_until(
        app, [&] { return !window.tab_progress->is_busy(); }, 600000);
    shot("training-done");
  }

  const QString weights = option("--weights");
  if (!weights.isEmpty()) {
    window.tab_inference->findChild<QLineEdit*>(QStringLiteral("entry_inf_weights"))->setText(weights);
    window.tab_inference->findChild<QLineEdit*>(QStringLiteral("entry_inf_folder"))->setText(option("--infer"));
    if (!option("--imgsz").isEmpty())
      window.tab_inference->findChild<QSpinBox*>(QStringLiteral("spin_inf_imgsz"))->setValue(option("--imgsz").toInt());
    window.tabs->setCurrentIndex(6);
    window.tab_inference->init_inference();
    app.processEvents();
    shot("inference-predictions");
    if (!images.isEmpty()) {
      window.tabs->setCurrentIndex(3);
      prompts->open_files.push_back(weights);
      window.tab_workspace->load_ai_model();
      settle();
      if (!option("--imgsz").isEmpty())
        window.tab_workspace->findChild<QDoubleSpinBox*>(QStringLiteral("spin_ai_conf"))->setValue(0.25);
      window.tab_workspace->run_ai_autolabel();
      settle();
      shot("annotator-autolabelled");
    }
  }

  quorlan::HelpDialog guide(&window);
  guide.resize(750, 600);
  guide.show();
  app.processEvents();
  guide.grab().save(QDir(out).filePath("guide.png"));
  quorlan::PredictionHost::instance().shutdown();
  return 0;
}

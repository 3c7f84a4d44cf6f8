#include "app/quorlan_studio.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDataStream>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>

#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>
#include <optional>

#include "annotate/annotator_tab.h"
#include "app/app_icon.h"
#include "core/shipped_files.h"
#include "dataset/dataset_actions.h"
#include "dataset/dataset_qa.h"
#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "imaging/enricher_tab.h"
#include "imaging/resizer_tab.h"
#include "imaging/splitter_tab.h"
#include "inference/inference_tab.h"
#include "shell/help_dialog.h"
#include "shell/theme.h"
#include "training/config_tab.h"
#include "training/training_tab.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"
#include "widgets/settings_store.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

QuorlanStudio::QuorlanStudio() {
  start_engine_probes();  // in the background; known long before a run can start
  setWindowTitle("Quorlan Studio - Deep Learning Workstation");
  const QIcon icon = load_app_icon(QFileInfo(shipped_file("Quorlan-Studio-icon.png")).path());
  if (!icon.isNull()) setWindowIcon(icon);
  resize(default_window_size());
  init_ui();
  apply_theme(is_dark_mode);
  setup_shortcuts();
  restore_settings();
}

QSize QuorlanStudio::default_window_size() {
  QSize size(1500, 950);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // Room for the window's frame and title bar inside the screen's free area.
    const QSize room = screen->availableGeometry().size() - QSize(16, 48);
    size = size.boundedTo(room.expandedTo(QSize(640, 480)));
  }
  return size;
}

namespace {

// The path fields each tab keeps between runs.
const char* const kRememberedFields[] = {"entry_split_in",   "entry_split_out",   "aug_entry_out",
                                         "data_yaml_input",  "project_dir_input", "entry_inf_weights",
                                         "entry_inf_folder", "entry_export_dir"};

// The window's remembered size and place (its normal geometry in Qt's saved form), when the
// bytes are of that form.
std::optional<QRect> remembered_normal_geometry(const QByteArray& saved) {
  QDataStream in(saved);
  in.setVersion(QDataStream::Qt_4_0);
  quint32 magic = 0;
  quint16 major = 0, minor = 0;
  QRect frame, normal;
  in >> magic >> major >> minor >> frame >> normal;
  if (in.status() != QDataStream::Ok || magic != 0x1D9D0CB || !normal.isValid()) return std::nullopt;
  return normal;
}

}  // namespace

bool QuorlanStudio::restore_window_geometry(const QByteArray& saved) {
  // A size or place this machine's screens cannot hold (another monitor, an edited file) is not
  // taken: Qt would squeeze it to the window's least size in a corner.
  const std::optional<QRect> normal = remembered_normal_geometry(saved);
  const QScreen* screen = normal ? QGuiApplication::screenAt(normal->center()) : nullptr;
  if (!screen || !screen->availableGeometry().contains(*normal)) return false;
  return restoreGeometry(saved);
}

void QuorlanStudio::centre_on_screen() {
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void QuorlanStudio::restore_settings() {
  QSettings* settings = settings_store();
  if (!settings) return;
  // A first start, or a screen that changed: centred on the screen it opens on.
  if (!restore_window_geometry(settings->value("window/geometry").toByteArray())) {
    resize(default_window_size());
    centre_on_screen();
  }
  if (settings->contains("window/dark")) {
    theme_toggle->setChecked(settings->value("window/dark").toBool());
    apply_theme(theme_toggle->isChecked());
  }
  set_palette(class_palette_from_key(settings->value("window/palette").toString()));
  for (const char* name : kRememberedFields) {
    const QString key = QStringLiteral("fields/%1").arg(QLatin1String(name));
    if (auto* field = findChild<QLineEdit*>(name); field && settings->contains(key))
      field->setText(settings->value(key).toString());
  }
  tab_workspace->restore_panel_state(settings->value("annotator/panels").toByteArray());
  const QString output = settings->value("annotator/output_folder").toString();
  if (QFileInfo(output).isDir()) tab_workspace->set_output_folder_path(output);
  const QString folder = settings->value("annotator/folder").toString();
  if (!folder.isEmpty() && !QFileInfo(folder).isDir()) {
    // Said once: the setting goes, so the next start does not say it again.
    settings->remove("annotator/folder");
    settings->remove("annotator/image");
    statusBar()->showMessage(
        QStringLiteral("The folder open last time, %1, is not there any more; load a folder to go on.")
            .arg(QDir::toNativeSeparators(folder)));
  } else if (!folder.isEmpty()) {
    tab_workspace->open_folder(folder, settings->value("annotator/image").toString());
  }
  const int tab = settings->value("window/tab", 0).toInt();
  if (tab >= 0 && tab < tabs->count()) tabs->setCurrentIndex(tab);
}

void QuorlanStudio::save_settings() {
  QSettings* settings = settings_store();
  if (!settings) return;
  settings->setValue("window/geometry", saveGeometry());
  settings->setValue("window/tab", tabs->currentIndex());
  settings->setValue("window/dark", is_dark_mode);
  settings->setValue("window/palette", class_palette_key(class_palette()));
  for (const char* name : kRememberedFields)
    if (const auto* field = findChild<QLineEdit*>(name))
      settings->setValue(QStringLiteral("fields/%1").arg(QLatin1String(name)), field->text());
  settings->setValue("annotator/panels", tab_workspace->panel_state());
  settings->setValue("annotator/output_folder", tab_workspace->output_folder_path());
  const PictureQueue& queue = tab_workspace->queue();
  settings->setValue("annotator/folder", queue.folder());
  settings->setValue("annotator/image", queue.path(queue.current()));
  settings->sync();
}

void QuorlanStudio::reset_layout() {
  showNormal();
  resize(default_window_size());
  centre_on_screen();
  tab_workspace->reset_panels();
  tabs->setCurrentIndex(0);
  if (QSettings* settings = settings_store()) {
    for (const char* key : {"window/geometry", "window/tab", "annotator/panels"}) settings->remove(key);
    settings->sync();
  }
}

void QuorlanStudio::set_palette(ClassPalette palette) {
  set_class_palette(palette);
  tab_workspace->update_annotation_colors();
  tab_workspace->recolour_class_list();
}

void QuorlanStudio::init_ui() {
  tabs = new QTabWidget;
  tabs->setObjectName("tabs");
  setCentralWidget(tabs);

  tab_resizer = new ResizerTab;
  tabs->addTab(tab_resizer, "Image Resizer + Compressor");
  tab_splitter = new SplitterTab;
  tabs->addTab(tab_splitter, "Image Splitter");
  tab_aug = new EnricherTab;
  tabs->addTab(tab_aug, "Synthetic Data Enricher");
  tab_workspace = new AnnotatorTab;
  tabs->addTab(tab_workspace, "Image Annotator");
  tab_config = new ConfigTab;
  tabs->addTab(tab_config, "YOLO Configuration && AutoML");
  tab_progress = new TrainingTab;
  tabs->addTab(tab_progress, "Training Analytics && Live Logs");
  tab_inference = new InferenceTab;
  tabs->addTab(tab_inference, "Inference && Model Export");
  const char* names[] = {"tab_resizer", "tab_splitter", "tab_aug",      "tab_workspace",
                         "tab_config",  "tab_progress", "tab_inference"};
  for (int i = 0; i < tabs->count(); ++i) tabs->widget(i)->setObjectName(names[i]);

  // The dataset tools work on the annotator's folder.
  connect(tab_workspace, &AnnotatorTab::export_requested, this, [this] {
    export_and_split_dataset(this, tab_workspace->queue().paths(), tab_workspace->class_names(),
                             tab_workspace->output_folder_path());
  });
  connect(tab_workspace, &AnnotatorTab::health_check_requested, this, [this] {
    run_health_check(this, tab_workspace->queue().folder(), tab_workspace->class_names(), tab_config->image_size(),
                     [this](const QString& image) {
                       tabs->setCurrentWidget(tab_workspace);
                       tab_workspace->show_image_file(image);
                     });
  });
  connect(tab_workspace, &AnnotatorTab::analytics_requested, this,
          [this] { show_dataset_analytics(this, tab_workspace->queue().paths(), tab_workspace->class_names()); });
  connect(tab_config, &ConfigTab::start_training_signal, this, &QuorlanStudio::start_training);
  connect(tab_config, &ConfigTab::start_tuning_signal, this, &QuorlanStudio::start_automl_tuning);
  connect(tab_progress, &TrainingTab::automl_results_signal, this, &QuorlanStudio::apply_automl_results);
  connect(tab_workspace, &AnnotatorTab::notice_signal, this,
          [this](const QString& text) { statusBar()->showMessage(text, 10000); });

  theme_toggle = new ThemeToggle;
  theme_toggle->setObjectName("theme_toggle");
  theme_toggle->setChecked(is_dark_mode);
  connect(theme_toggle, &ThemeToggle::toggled, this, &QuorlanStudio::apply_theme);

  auto* guide = new QPushButton(QStringLiteral("ℹ"));
  guide->setObjectName("btn_guide");
  guide->setFixedSize(28, 28);
  guide->setCursor(Qt::PointingHandCursor);
  guide->setToolTip("Quorlan Studio - User Guide");
  guide->setStyleSheet("QPushButton { font-size: 14px; font-weight: bold; border-radius: 14px; padding: 0px; }");
  connect(guide, &QPushButton::clicked, this, &QuorlanStudio::open_guide);

  auto* corner = new QWidget;
  corner->setObjectName("corner_widget");
  auto* corner_layout = new QHBoxLayout(corner);
  corner_layout->setContentsMargins(0, 0, 15, 8);
  corner_layout->setSpacing(8);
  corner_layout->addWidget(guide, 0, Qt::AlignVCenter);
  corner_layout->addWidget(theme_toggle, 0, Qt::AlignVCenter);
  tabs->setCornerWidget(corner, Qt::TopRightCorner);
}

void QuorlanStudio::open_guide() {
  HelpDialog dialog(this);
  connect(&dialog, &HelpDialog::palette_chosen, this, &QuorlanStudio::set_palette);
  connect(&dialog, &HelpDialog::reset_layout_requested, this, &QuorlanStudio::reset_layout);
  prompts().exec_dialog(dialog);
}

void QuorlanStudio::apply_theme(bool is_dark) {
  is_dark_mode = is_dark;
  if (qApp) {
    QApplication::setPalette(theme_palette(is_dark_mode));
    qApp->setStyleSheet(get_stylesheet(is_dark_mode));
  }
  tab_workspace->update_annotation_colors();
  tab_workspace->recolour_class_list();
}

void QuorlanStudio::setup_shortcuts() {
  // The annotator's keys, one action for each row of the key table, live only while its tab is
  // shown, so they never take a key from another tab.
  for (const AnnotatorKey& row : annotator_keys()) {
    if (row.keys.isEmpty()) continue;
    auto* action = new QAction(this);
    action->setShortcuts(row.keys);
    action->setAutoRepeat(row.repeats);
    connect(action, &QAction::triggered, this, [this, command = row.command] { annotator_command(command); });
    addAction(action);
    annotator_actions.append(action);
  }
  const auto enable = [this] {
    for (QAction* action : annotator_actions) action->setEnabled(tabs->currentWidget() == tab_workspace);
  };
  connect(tabs, &QTabWidget::currentChanged, this, enable);
  enable();
}

void QuorlanStudio::annotator_command(AnnotatorCommand command) {
  // The keys edit shapes only where the user sees them, and never while text is being typed.
  if (tabs->currentWidget() != tab_workspace) return;
  QWidget* focus = QApplication::focusWidget();
  if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QAbstractSpinBox*>(focus) || qobject_cast<QTextEdit*>(focus) ||
      qobject_cast<QPlainTextEdit*>(focus)) {
    // Escape or Enter in a field of the annotator gives the keys back to the picture (the field
    // takes its value as focus leaves it).
    if ((command == AnnotatorCommand::Escape || command == AnnotatorCommand::Relabel) &&
        tab_workspace->isAncestorOf(focus))
      tab_workspace->focus_picture();
    return;
  }
  tab_workspace->run_command(command);
}

void QuorlanStudio::start_training() {
  const QString data_yaml = tab_config->data_yaml();
  if (!QFileInfo::exists(data_yaml)) {
    prompts().critical(this, "Error", "YAML file path does not exist:\n" + data_yaml);
    return;
  }
  when_engine_rewrites_accepted(data_yaml, [this, data_yaml] {
    // "auto" is decided by the run itself, off the GUI thread: the click never waits for the
    // background question about CUDA.
    const QString device = tab_config->selected_device();
    if (tab_progress->start_training(tab_config->training_params(data_yaml, device)))
      tabs->setCurrentWidget(tab_progress);
  });
}

void QuorlanStudio::start_automl_tuning() {
  const QString data_yaml = tab_config->data_yaml();
  if (!QFileInfo::exists(data_yaml)) {
    prompts().critical(this, "Error", "Data YAML file path does not exist.");
    return;
  }
  when_engine_rewrites_accepted(data_yaml, [this, data_yaml] {
    if (tab_progress->start_automl_tuning(tab_config->tuning_params(data_yaml))) tabs->setCurrentWidget(tab_progress);
  });
}

void QuorlanStudio::when_engine_rewrites_accepted(const QString& data_yaml, std::function<void()> next) {
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, "Reading the dataset's pictures...", control, [data_yaml] { return jpegs_the_engine_rewrites(data_yaml); },
      [this, control, next = std::move(next)](const QStringList& rewritten) {
        if (control->cancel) return;
        if (!rewritten.isEmpty() &&
            prompts().choose(this, "Training Would Rewrite Pictures",
                             engine_rewrites_text(rewritten) +
                                 "\n\nTrain on an export of the dataset (its pictures are copies), or train on "
                                 "these files anyway?",
                             {"Train Anyway", "Cancel"}) != 0)
          return;
        next();
      });
}

void QuorlanStudio::apply_automl_results(const QVariantMap& best_params) {
  tab_config->apply_tuned(best_params);
  prompts().information(this, "AutoML Complete", "Optimal hyperparameters applied to controls.");
  tabs->setCurrentWidget(tab_config);
}

void QuorlanStudio::closeEvent(QCloseEvent* event) {
  // Nothing drawn is lost when the window closes: a change that cannot be written keeps the
  // window open unless the user discards it.
  if (!tab_workspace->resolve_unsaved([this] { close(); })) {
    event->ignore();
    return;
  }
  tab_progress->abort_runs();  // a run in progress ends with its engine host
  tab_inference->abort_export();
  cancel_work_beside_window();          // work beside the window stops at its next step
  PredictionHost::instance().cancel();  // a prediction still waited for ends now
  PredictionHost::instance().shutdown();
  save_settings();
  QMainWindow::closeEvent(event);
}

bool wind_down_after_window(int ms) {
  stop_engine_probes();
  PredictionHost::instance().cancel();
  PredictionHost::instance().shutdown();
  return finish_work_beside_window(ms);
}

}  // namespace quorlan

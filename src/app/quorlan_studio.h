#pragma once
#include <QMainWindow>
#include <functional>

#include "core/class_colours.h"
#include "shell/annotator_keys.h"

class QAction;
class QTabWidget;

namespace quorlan {

class AnnotatorTab;
class ConfigTab;
class EnricherTab;
class InferenceTab;
class ResizerTab;
class SplitterTab;
class ThemeToggle;
class TrainingTab;

// The main window: owns the seven tabs and wires what crosses between them.
class QuorlanStudio : public QMainWindow {
  Q_OBJECT
 public:
  QuorlanStudio();

  void apply_theme(bool is_dark);
  void start_training();
  void start_automl_tuning();
  void apply_automl_results(const QVariantMap& best_params);
  // Delete, Backspace and Escape: handed to the annotator when it is shown and no text field
  // has the focus.
  void annotator_command(AnnotatorCommand command);

  // Remembering, when a settings store is installed (widgets/settings_store.h): restored once the
  // tabs exist, saved as the window closes. Without one the studio starts as on a first start.
  void restore_settings();
  void save_settings();
  // The window's size and place, the annotator's panels and the first tab, as on a first start.
  void reset_layout();
  // The colours classes are drawn in.
  void set_palette(ClassPalette palette);
  // 1500 x 950, or less on a smaller screen: the window never opens past the screen's edge.
  static QSize default_window_size();
  void centre_on_screen();
  // Qt's saved geometry when it fits a screen of this machine; false (nothing done) otherwise.
  bool restore_window_geometry(const QByteArray& saved);

  bool is_dark_mode = true;
  QTabWidget* tabs = nullptr;
  ResizerTab* tab_resizer = nullptr;
  SplitterTab* tab_splitter = nullptr;
  EnricherTab* tab_aug = nullptr;
  AnnotatorTab* tab_workspace = nullptr;
  ConfigTab* tab_config = nullptr;
  TrainingTab* tab_progress = nullptr;
  InferenceTab* tab_inference = nullptr;
  ThemeToggle* theme_toggle = nullptr;
  QList<QAction*> annotator_actions;  // the key table's, one for each row

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void init_ui();
  void setup_shortcuts();
  void open_guide();
  // Before a run on `data_yaml`: JPEGs the engine would re-encode in place are named (read beside
  // the window), and `next` starts the run when there are none or the user says so.
  void when_engine_rewrites_accepted(const QString& data_yaml, std::function<void()> next);
};

// After the window has closed: what it started (work beside it, the engine checks, the prediction
// host) is cancelled and given `ms` to end. False when some work still runs.
bool wind_down_after_window(int ms);

}  // namespace quorlan

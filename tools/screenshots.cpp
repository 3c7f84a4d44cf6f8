// Writes PNGs of the main window on every tab in both themes, and of the user guide.
// Usage: quorlan-screenshots OUTPUT_DIR [IMAGE_FOLDER]
#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTimer>

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
  quorlan::HelpDialog guide(&window);
  guide.resize(750, 600);
  guide.show();
  app.processEvents();
  guide.grab().save(QDir(out).filePath("guide.png"));
  return 0;
}

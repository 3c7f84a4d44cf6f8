#include <QApplication>
#include <QFileInfo>
#include <QStatusBar>

#include "app/app_icon.h"
#include "app/quorlan_studio.h"
#include "core/console_messages.h"
#include "core/shipped_files.h"
#include "widgets/settings_store.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  quorlan::quiet_library_noise();
  quorlan::set_windows_app_identity();
  const QIcon icon = quorlan::load_app_icon(QFileInfo(quorlan::shipped_file("Quorlan-Studio-icon.png")).path());
  if (!icon.isNull()) QApplication::setWindowIcon(icon);

  // The window, its panels, theme and folders are remembered in the user's settings file
  // (~/.config/Quorlan/Quorlan Studio.ini); the guide's "Reset Layout" starts the layout afresh.
  quorlan::OpenedSettings settings = quorlan::open_settings_file(
      QSettings(QSettings::IniFormat, QSettings::UserScope, "Quorlan", "Quorlan Studio").fileName());
  const QString settings_problem = settings.problem;
  quorlan::install_settings_store(std::move(settings.store));
  int code = 0;
  {
    quorlan::QuorlanStudio window;
    window.show();
    if (!settings_problem.isEmpty()) window.statusBar()->showMessage(settings_problem);
    code = app.exec();
  }
  // What still runs was cancelled as the window closed, and with the window gone nothing it
  // would have said is shown: it ends at its next step, and nothing it writes is left cut off
  // (every write is whole or not there).
  quorlan::wind_down_after_window(3000);
  return code;
}

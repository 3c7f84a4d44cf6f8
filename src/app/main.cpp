#include <QApplication>
#include <QFileInfo>

#include "app/app_icon.h"
#include "app/quorlan_studio.h"
#include "core/console_messages.h"
#include "core/shipped_files.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  quorlan::quiet_library_noise();
  quorlan::set_windows_app_identity();
  const QIcon icon = quorlan::load_app_icon(QFileInfo(quorlan::shipped_file("Quorlan-Studio-icon.png")).path());
  if (!icon.isNull()) QApplication::setWindowIcon(icon);

  quorlan::QuorlanStudio window;
  window.show();
  return app.exec();
}

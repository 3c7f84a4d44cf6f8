#include <QApplication>

#include "app/app_icon.h"
#include "app/quorlan_studio.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  quorlan::set_windows_app_identity();
  const QIcon icon = quorlan::load_app_icon(QCoreApplication::applicationDirPath());
  if (!icon.isNull()) QApplication::setWindowIcon(icon);

  quorlan::QuorlanStudio window;
  window.show();
  return app.exec();
}

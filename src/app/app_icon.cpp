#include "app/app_icon.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <shobjidl.h>
#endif

namespace quorlan {

QIcon load_app_icon(const QString& directory) {
  const QString path = QDir(directory).filePath("Quorlan-Studio-icon.png");
  if (!QFileInfo::exists(path)) return {};
  return QIcon(path);
}

void set_windows_app_identity() {
#ifdef Q_OS_WIN
  SetCurrentProcessExplicitAppUserModelID(L"quorlan.studio.engine.1.0");  // failure is harmless
#endif
}

}  // namespace quorlan

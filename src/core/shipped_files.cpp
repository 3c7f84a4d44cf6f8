#include "core/shipped_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace quorlan {

QString shipped_file(const QString& name) {
  const QDir bin(QCoreApplication::applicationDirPath());
  const QString beside = bin.filePath(name);
  if (QFileInfo::exists(beside)) return beside;
  const QString installed = QDir::cleanPath(bin.filePath("../share/quorlan-studio/" + name));
  if (QFileInfo::exists(installed)) return installed;
  return beside;
}

}  // namespace quorlan

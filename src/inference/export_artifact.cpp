#include "inference/export_artifact.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

namespace quorlan {

Expected<QString> move_export_artifact(const QString& artifact, const QString& target_dir) {
  namespace fs = std::filesystem;
  if (target_dir.trimmed().isEmpty()) return failure(QStringLiteral("No export folder was given."));
  if (!QDir().mkpath(target_dir))
    return failure(QStringLiteral("Could not create the folder %1.").arg(QDir::toNativeSeparators(target_dir)));
  const QFileInfo source(artifact);
  if (!source.exists())
    return failure(
        QStringLiteral("The engine reported %1, which does not exist.").arg(QDir::toNativeSeparators(artifact)));
  const QString destination = QDir(target_dir).filePath(source.fileName());
  if (QFileInfo(destination).absoluteFilePath() == source.absoluteFilePath()) return destination;

  const fs::path from(QFile::encodeName(source.absoluteFilePath()).toStdString());
  const fs::path to(QFile::encodeName(QFileInfo(destination).absoluteFilePath()).toStdString());
  std::error_code ec, status_ec;
  if (fs::exists(fs::symlink_status(to, status_ec))) fs::remove_all(to, ec);
  if (ec)
    return failure(QStringLiteral("Could not replace %1: %2")
                       .arg(QDir::toNativeSeparators(destination), QString::fromStdString(ec.message())));
  fs::rename(from, to, ec);
  if (ec == std::errc::cross_device_link) {  // another file system: copy, then remove the original
    ec.clear();
    fs::copy(from, to, fs::copy_options::recursive, ec);
    if (!ec) fs::remove_all(from, ec);
  }
  if (ec)
    return failure(QStringLiteral("Could not move %1 to %2: %3")
                       .arg(QDir::toNativeSeparators(artifact), QDir::toNativeSeparators(destination),
                            QString::fromStdString(ec.message())));
  return destination;
}

}  // namespace quorlan

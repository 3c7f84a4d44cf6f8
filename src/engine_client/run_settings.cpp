#include "engine_client/run_settings.h"

#include <QDir>

namespace quorlan::run_settings {

QString absolute_project_path(const QString& path) { return QDir::cleanPath(QDir::current().absoluteFilePath(path)); }

}  // namespace quorlan::run_settings

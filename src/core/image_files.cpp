#include "core/image_files.h"

#include <QDir>
#include <algorithm>

namespace quorlan {

bool is_image_name(const QString& name) {
  const int dot = name.lastIndexOf('.');
  if (dot <= 0) return false;
  const QString ext = name.mid(dot + 1).toLower();
  return ext == QLatin1String("jpg") || ext == QLatin1String("jpeg") || ext == QLatin1String("png") ||
         ext == QLatin1String("bmp") || ext == QLatin1String("webp");
}

QStringList list_folder_images(const QString& folder) {
  const QDir dir(folder);
  QStringList paths;
  for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted))
    if (is_image_name(name)) paths << dir.filePath(name);
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace quorlan

#include "core/image_files.h"

#include <QDir>
#include <algorithm>

namespace quorlan {

const QStringList& image_extensions() {
  static const QStringList extensions = {"jpg", "jpeg", "png", "bmp", "webp", "tif", "tiff"};
  return extensions;
}

QString image_name_filter() {
  QStringList patterns;
  for (const QString& ext : image_extensions()) patterns << "*." + ext;
  return patterns.join(' ');
}

bool is_image_name(const QString& name) {
  const int dot = name.lastIndexOf('.');
  if (dot <= 0) return false;
  return image_extensions().contains(name.mid(dot + 1).toLower());
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

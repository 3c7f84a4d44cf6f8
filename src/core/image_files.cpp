#include "core/image_files.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

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

QStringList undecodable_image_names(const QString& folder) {
  QStringList names;
#ifdef Q_OS_UNIX
  DIR* dir = ::opendir(QFile::encodeName(folder).constData());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray raw(entry->d_name);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(raw);
    if (!utf8.hasError()) continue;
    const QString shown = QString::fromLatin1(raw);
    if (is_image_name(shown)) names << shown;
  }
  ::closedir(dir);
#else
  Q_UNUSED(folder);
#endif
  names.sort();
  return names;
}

QStringList undecodable_image_notes(const QString& folder) {
  QStringList notes;
  for (const QString& name : undecodable_image_names(folder))
    notes << QStringLiteral("%1: its name is not valid UTF-8; rename it to include it").arg(name);
  return notes;
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

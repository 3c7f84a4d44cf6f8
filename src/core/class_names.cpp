#include "core/class_names.h"

#include <yaml-cpp/yaml.h>
#include <QDir>
#include <QFileInfo>
#include <map>

#include "core/atomic_file.h"
#include "core/label_files.h"

namespace quorlan {

std::optional<QStringList> read_manifest_names(const QString& yaml_path) {
  const Expected<QByteArray> loaded = read_regular_file(yaml_path);
  if (!loaded) return std::nullopt;
  const QByteArray& bytes = *loaded;
  try {
    const YAML::Node root = YAML::Load(bytes.toStdString());
    if (!root.IsMap()) return std::nullopt;
    const YAML::Node names = root["names"];
    if (!names) return std::nullopt;
    QStringList out;
    if (names.IsSequence()) {
      for (const YAML::Node& n : names) out << clean_class_name(QString::fromStdString(n.as<std::string>()));
    } else if (names.IsMap()) {
      std::map<int, QString> by_id;
      for (const auto& entry : names) {
        const int id = entry.first.as<int>();
        if (id < 0 || id > 100000) return std::nullopt;
        by_id[id] = clean_class_name(QString::fromStdString(entry.second.as<std::string>()));
      }
      if (!by_id.empty())
        for (int id = 0; id <= by_id.rbegin()->first; ++id) out << (by_id.count(id) ? by_id[id] : QString::number(id));
    } else {
      return std::nullopt;
    }
    if (out.isEmpty()) return std::nullopt;
    return out;
  } catch (const YAML::Exception&) {
    return std::nullopt;
  }
}

QString find_dataset_manifest(const QString& image_folder, const QStringList* listed) {
  QDir look(QDir(image_folder).absolutePath());
  for (int level = 0; level < 3; ++level) {
    QStringList candidates;
    for (const QString& name : {QStringLiteral("data.yaml"), QStringLiteral("data.yml")})
      if (is_regular_file(look.filePath(name))) candidates << look.filePath(name);
    QStringList manifests;
    if (level == 0 && listed) {
      for (const QString& name : *listed)
        if (name.endsWith(QLatin1String(".yaml"), Qt::CaseInsensitive) ||
            name.endsWith(QLatin1String(".yml"), Qt::CaseInsensitive))
          manifests << name;
      manifests.sort();
    } else {
      manifests = look.entryList({"*.yaml", "*.yml"}, QDir::Files, QDir::Name);
    }
    for (const QString& name : manifests)
      if (!candidates.contains(look.filePath(name))) candidates << look.filePath(name);
    for (const QString& candidate : candidates)
      if (read_manifest_names(candidate)) return candidate;
    if (!look.cdUp()) break;
  }
  return {};
}

FolderClasses load_folder_classes(const QString& image_folder, const QStringList* listed) {
  FolderClasses found;
  const QString classes_file = QDir(image_folder).filePath(QStringLiteral("classes.txt"));
  if (const auto names = read_classes_file(classes_file)) {
    found.names = *names;
    found.source = FolderClasses::Source::ClassesFile;
    found.path = classes_file;
    return found;
  }
  const QString manifest = find_dataset_manifest(image_folder, listed);
  if (manifest.isEmpty()) return found;
  found.names = *read_manifest_names(manifest);
  found.source = FolderClasses::Source::Manifest;
  found.path = manifest;
  return found;
}

QStringList manifest_split_folders(const QString& yaml_path) {
  const Expected<QByteArray> loaded = read_regular_file(yaml_path);
  if (!loaded) return {};
  QStringList folders;
  try {
    const YAML::Node root = YAML::Load(loaded->toStdString());
    if (!root.IsMap()) return {};
    // The engine's root: `path`, absolute or from the manifest's folder; else the manifest's folder.
    const QDir manifest_dir = QFileInfo(yaml_path).absoluteDir();
    QDir base = manifest_dir;
    if (const YAML::Node path = root["path"]; path && path.IsScalar()) {
      const QString root_path = manifest_dir.filePath(QString::fromStdString(path.as<std::string>()));
      if (QFileInfo(root_path).isDir()) base = QDir(root_path);
    }
    for (const char* key : {"train", "val", "test"}) {
      const YAML::Node entry = root[key];
      if (!entry) continue;
      std::vector<std::string> listed;
      if (entry.IsScalar()) listed.push_back(entry.as<std::string>());
      if (entry.IsSequence())
        for (const YAML::Node& item : entry)
          if (item.IsScalar()) listed.push_back(item.as<std::string>());
      for (const std::string& item : listed) {
        const QString folder = QDir::cleanPath(base.filePath(QString::fromStdString(item)));
        if (QFileInfo(folder).isDir() && !folders.contains(folder)) folders << folder;
      }
    }
  } catch (const YAML::Exception&) {
    return {};
  }
  return folders;
}

void write_class_names(const QString& source_folder, const QSet<QString>& output_folders, QStringList* failed) {
  const FolderClasses names = load_folder_classes(source_folder);
  if (names.names.isEmpty()) return;
  const QByteArray bytes = classes_file_bytes(names.names);
  for (const QString& folder : output_folders) {
    const QString path = QDir(folder).filePath("classes.txt");
    const Status written = write_file_atomically(path, bytes);
    if (!written) *failed << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), written.error());
  }
}

}  // namespace quorlan

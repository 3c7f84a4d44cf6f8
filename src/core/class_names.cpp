#include "core/class_names.h"

#include <cstring>

#include <yaml-cpp/yaml.h>
#include <QDir>
#include <QFileInfo>
#include <map>

#include "core/atomic_file.h"
#include "core/file_copy.h"
#include "core/label_files.h"

namespace quorlan {

namespace {

QStringList scalars_of(const YAML::Node& entry) {
  QStringList out;
  if (entry.IsScalar()) out << QString::fromStdString(entry.as<std::string>());
  if (entry.IsSequence())
    for (const YAML::Node& item : entry)
      if (item.IsScalar()) out << QString::fromStdString(item.as<std::string>());
  return out;
}

std::optional<QStringList> names_of(const YAML::Node& names, QList<int>* blank) {
  if (!names) return std::nullopt;
  QStringList out;
  if (names.IsSequence()) {
    for (const YAML::Node& n : names)
      out << (n.IsNull() ? QString() : clean_class_name(QString::fromStdString(n.as<std::string>())));
  } else if (names.IsMap()) {
    std::map<int, QString> by_id;
    for (const auto& entry : names) {
      const int id = entry.first.as<int>();
      if (id < 0 || id > 100000) return std::nullopt;
      by_id[id] =
          entry.second.IsNull() ? QString() : clean_class_name(QString::fromStdString(entry.second.as<std::string>()));
    }
    if (!by_id.empty())
      for (int id = 0; id <= by_id.rbegin()->first; ++id) out << (by_id.count(id) ? by_id[id] : QString::number(id));
  } else {
    return std::nullopt;
  }
  if (out.isEmpty()) return std::nullopt;
  // An empty name would be an empty line in classes.txt, which every reader skips, shifting each
  // later id: it is named by its id instead, and said.
  for (int id = 0; id < out.size(); ++id)
    if (out[id].isEmpty()) {
      out[id] = QString::number(id);
      if (blank) *blank << id;
    }
  return out;
}

// The folders of the pictures a list file names: "./x" from the list's folder, others as written
// (absolute, or from the manifest's folder where the engine would take its working folder).
void add_list_folders(const QString& list_path, const QDir& base, QStringList& folders) {
  const Expected<QByteArray> loaded = read_regular_file(list_path);
  if (!loaded) return;
  const QDir list_dir = QFileInfo(list_path).absoluteDir();
  for (const QByteArray& raw : loaded->split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.isEmpty()) continue;
    const QString picture = line.startsWith(QLatin1String("./")) ? list_dir.filePath(line.mid(2)) : base.filePath(line);
    const QString folder = QFileInfo(QDir::cleanPath(picture)).absolutePath();
    if (!folders.contains(folder) && QFileInfo(folder).isDir()) folders << folder;
  }
}

}  // namespace

std::optional<DatasetManifest> read_dataset_manifest(const QString& yaml_path) {
  const Expected<QByteArray> loaded = read_regular_file(yaml_path);
  if (!loaded) return std::nullopt;
  try {
    const YAML::Node root = YAML::Load(loaded->toStdString());
    if (!root.IsMap()) return std::nullopt;
    DatasetManifest manifest;
    manifest.path = QFileInfo(yaml_path).absoluteFilePath();
    try {
      manifest.names = names_of(root["names"], &manifest.blank_names);
    } catch (const YAML::Exception&) {
      manifest.names.reset();
    }
    // The dataset root: `path`, absolute or from the manifest's folder; else the manifest's folder.
    const QDir manifest_dir = QFileInfo(yaml_path).absoluteDir();
    QDir base = manifest_dir;
    if (const YAML::Node path = root["path"]; path && path.IsScalar()) {
      const QString written = QString::fromStdString(path.as<std::string>());
      const QString root_path = manifest_dir.filePath(written);
      if (QFileInfo(root_path).isDir()) base = QDir(root_path);
      // The engine takes a relative `path` from its working folder, not from the manifest's.
      if (!written.isEmpty() && QDir::isRelativePath(written)) manifest.relative_root = written;
    }
    manifest.root = QDir::cleanPath(base.absolutePath());
    if (const YAML::Node task = root["task"]; task && task.IsScalar()) {
      if (task.as<std::string>() == "detect") manifest.task = LabelKind::Boxes;
      if (task.as<std::string>() == "segment") manifest.task = LabelKind::Polygons;
    }
    for (const char* key : {"train", "val", "test"}) {
      const YAML::Node entry = root[key];
      if (!entry) continue;
      for (const QString& item : scalars_of(entry)) {
        QString target = QDir::cleanPath(base.filePath(item));
        // The engine's own fallback: "../x" that does not exist is taken as "x" (Roboflow's layout).
        if (!QFileInfo::exists(target) && item.startsWith(QLatin1String("../")))
          target = QDir::cleanPath(base.filePath(item.mid(3)));
        const bool train = std::strcmp(key, "train") == 0;
        if (QFileInfo::exists(target)) {
          if (manifest.split_entries.isEmpty() || manifest.split_entries.last().first != QLatin1String(key))
            manifest.split_entries.append({QString::fromLatin1(key), {}});
          manifest.split_entries.last().second << target;
        }
        if (QFileInfo(target).isDir()) {
          if (!manifest.split_folders.contains(target)) manifest.split_folders << target;
          if (train && !manifest.train_folders.contains(target)) manifest.train_folders << target;
        } else if (QFileInfo(target).isFile() && target.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive)) {
          manifest.list_files << target;
          add_list_folders(target, base, manifest.split_folders);
          if (train) add_list_folders(target, base, manifest.train_folders);
        }
      }
    }
    return manifest;
  } catch (const YAML::Exception&) {
    return std::nullopt;
  }
}

bool DatasetManifest::names_folder(const QString& image_folder) const {
  const QString folder = resolved_folder(image_folder);
  if (resolved_folder(QFileInfo(path).absolutePath()) == folder) return true;  // it sits in the folder itself
  for (const QString& split : split_folders)
    if (is_inside(folder, resolved_folder(split))) return true;
  return false;
}

std::optional<QStringList> read_manifest_names(const QString& yaml_path) {
  const std::optional<DatasetManifest> manifest = read_dataset_manifest(yaml_path);
  if (!manifest) return std::nullopt;
  return manifest->names;
}

std::optional<DatasetManifest> find_folder_manifest(const QString& image_folder, const QStringList* listed) {
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
    // Each file is read once; a YAML that merely lies above (a settings file in a home folder)
    // names nothing: it must be this folder's dataset manifest.
    for (const QString& candidate : candidates) {
      std::optional<DatasetManifest> manifest = read_dataset_manifest(candidate);
      if (manifest && manifest->names && manifest->names_folder(image_folder)) return manifest;
    }
    if (!look.cdUp()) break;
  }
  return std::nullopt;
}

QString find_dataset_manifest(const QString& image_folder, const QStringList* listed) {
  const std::optional<DatasetManifest> manifest = find_folder_manifest(image_folder, listed);
  return manifest ? manifest->path : QString();
}

namespace {

// CVAT's "YOLO 1.1": obj.names, or the file obj.data's "names = ..." line names (from the folder
// obj.data sits in, or the one above for darknet's "data/obj.names"), in the folder or its parent
// (beside obj_train_data/).
std::optional<FolderClasses> cvat_names(const QString& folder) {
  QDir look(QDir(folder).absolutePath());
  for (int level = 0; level < 2; ++level) {
    QStringList candidates{look.filePath(QStringLiteral("obj.names"))};
    if (const Expected<QByteArray> data = read_regular_file(look.filePath(QStringLiteral("obj.data")))) {
      for (const QByteArray& raw : data->split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (!line.startsWith(QLatin1String("names"))) continue;
        const QString value = line.section(QLatin1Char('='), 1).trimmed();
        if (value.isEmpty()) continue;
        candidates << look.filePath(value) << look.filePath(QFileInfo(value).fileName());
      }
    }
    for (const QString& candidate : candidates)
      if (const auto names = read_classes_file(candidate); names && !names->isEmpty())
        return FolderClasses{*names, FolderClasses::Source::ObjNames, QDir::cleanPath(candidate), {}};
    if (!look.cdUp()) break;
  }
  return std::nullopt;
}

// A Label Studio YOLO export: classes.txt (and notes.json) at the top, beside images/ and labels/;
// the folder is the top or its images/ (or a folder below that). Also a classes.txt in labels/.
std::optional<FolderClasses> top_folder_names(const QString& folder) {
  QStringList parts = QDir::cleanPath(QDir(folder).absolutePath()).split(QLatin1Char('/'));
  const int images = parts.lastIndexOf(QStringLiteral("images"));
  QStringList tops{parts.join(QLatin1Char('/'))};
  if (images > 0) tops.prepend(parts.mid(0, images).join(QLatin1Char('/')));
  for (const QString& top : tops) {
    const QDir dir(top);
    if (!QFileInfo(dir.filePath(QStringLiteral("images"))).isDir()) continue;
    const bool studio = QFileInfo::exists(dir.filePath(QStringLiteral("notes.json")));
    for (const QString& candidate :
         {dir.filePath(QStringLiteral("classes.txt")), dir.filePath(QStringLiteral("labels/classes.txt"))})
      if (const auto names = read_classes_file(candidate); names && !names->isEmpty())
        return FolderClasses{
            *names, studio ? FolderClasses::Source::LabelStudio : FolderClasses::Source::ClassesFile, candidate, {}};
  }
  return std::nullopt;
}

}  // namespace

QString class_source_text(const FolderClasses& classes) {
  const QString where = QDir::toNativeSeparators(classes.path);
  switch (classes.source) {
    case FolderClasses::Source::None:
      return QStringLiteral("no class names (objects are counted by class id)");
    case FolderClasses::Source::ClassesFile:
      return QStringLiteral("classes.txt (%1)").arg(where);
    case FolderClasses::Source::Manifest:
      return QStringLiteral("%1 (%2)").arg(QFileInfo(classes.path).fileName(), where);
    case FolderClasses::Source::ObjNames:
      return QStringLiteral("CVAT's %1 (%2)").arg(QFileInfo(classes.path).fileName(), where);
    case FolderClasses::Source::LabelStudio:
      return QStringLiteral("Label Studio's classes.txt (%1)").arg(where);
  }
  return {};
}

FolderClasses load_folder_classes(const QString& image_folder, const QStringList* listed) {
  FolderClasses found;
  const QString classes_file = QDir(image_folder).filePath(QStringLiteral("classes.txt"));
  if (const auto names = read_classes_file(classes_file)) {
    found.names = *names;
    // Label Studio leaves notes.json beside its classes.txt at the dataset's top.
    found.source = QFileInfo::exists(QDir(image_folder).filePath(QStringLiteral("notes.json")))
                       ? FolderClasses::Source::LabelStudio
                       : FolderClasses::Source::ClassesFile;
    found.path = classes_file;
    return found;
  }
  if (auto cvat = cvat_names(image_folder)) return *cvat;
  if (auto top = top_folder_names(image_folder)) return *top;
  const std::optional<DatasetManifest> manifest = find_folder_manifest(image_folder, listed);
  if (!manifest) return found;
  found.names = *manifest->names;  // find_folder_manifest answers only with a manifest that has names
  found.blank_names = manifest->blank_names;
  found.source = FolderClasses::Source::Manifest;
  found.path = manifest->path;
  return found;
}

QStringList manifest_split_folders(const QString& yaml_path) {
  const std::optional<DatasetManifest> manifest = read_dataset_manifest(yaml_path);
  return manifest ? manifest->split_folders : QStringList();
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

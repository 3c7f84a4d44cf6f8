#pragma once
// Where a folder's class names come from: its classes.txt; else the class list another tool left
// with it (CVAT's obj.names, or the file its obj.data names, in the folder or the one above; a Label
// Studio export's classes.txt at the dataset's top, beside images/ and labels/, or in labels/);
// else the names of its dataset manifest beside it or up to two folders above (the engine's
// dataset/train/images layout), when that manifest's entries lead to the folder.
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

#include "core/label_files.h"

namespace quorlan {

struct FolderClasses {
  enum class Source { None, ClassesFile, Manifest, ObjNames, LabelStudio };
  QStringList names;
  Source source = Source::None;
  QString path;            // the file the names came from
  QList<int> blank_names;  // ids the manifest gives an empty name, named by their number instead
  bool known() const { return source != Source::None; }
};
// "data.yaml (/x/data.yaml)", "obj.names (...)", "no class names (ids are counted as they are)".
QString class_source_text(const FolderClasses& classes);

// `listed`, when given, is the folder's own file names already listed by the caller (a folder of
// 100,000 images is then not listed a second time).
FolderClasses load_folder_classes(const QString& image_folder, const QStringList* listed = nullptr);

// A dataset manifest (data.yaml) as read once.
struct DatasetManifest {
  QString path;                      // the YAML file, absolute
  std::optional<QStringList> names;  // its usable `names` (an empty one replaced by its id)
  QList<int> blank_names;            // the ids whose name was empty
  QString root;                      // the folder its entries are resolved from
  // A relative `path` as written: the engine resolves it from its working folder, which may not
  // be the manifest's folder the studio reads it from.
  QString relative_root;
  // The existing folders its train/val/test entries lead to: a folder each or a list of them
  // ("../x" that does not exist taken as "x", as the engine does), and the folders of the
  // pictures a .txt list file names.
  QStringList split_folders;
  QStringList train_folders;  // those of them the `train` entry leads to
  QStringList list_files;     // the .txt list files among the entries
  // Each split entry as the engine resolves it: "train", "val" or "test" and the folders and list
  // files it names, in the order written.
  QVector<QPair<QString, QStringList>> split_entries;
  // The label kind its `task` names (detect: boxes; segment: polygons), when it names one.
  std::optional<LabelKind> task;
  // Whether this is `image_folder`'s own manifest: it sits in the folder, or one of its splits is
  // the folder or holds it.
  bool names_folder(const QString& image_folder) const;
};
std::optional<DatasetManifest> read_dataset_manifest(const QString& yaml_path);

// The dataset manifest of an image folder: data.yaml, data.yml or another YAML file with `names`,
// in the folder or up to two levels above it (the engine's set/images/train), that is this
// folder's own (see names_folder). nullopt / empty when none.
std::optional<DatasetManifest> find_folder_manifest(const QString& image_folder, const QStringList* listed = nullptr);
QString find_dataset_manifest(const QString& image_folder, const QStringList* listed = nullptr);
// The existing image folders a manifest's train/val/test entries name (see DatasetManifest).
QStringList manifest_split_folders(const QString& yaml_path);

// The `names` of a YAML dataset manifest, as a list or a mapping of ids to names (ids without
// a name in a mapping get their number). nullopt when the file has no usable `names`.
std::optional<QStringList> read_manifest_names(const QString& yaml_path);

// Writes the class names of `source_folder` (its classes.txt or manifest names) as classes.txt
// into each of `output_folders`, beside labels made from its pictures; failures ("file: reason")
// are added to `failed`. Nothing when the folder has no names.
void write_class_names(const QString& source_folder, const QSet<QString>& output_folders, QStringList* failed);

}  // namespace quorlan

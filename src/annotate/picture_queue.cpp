#include "annotate/picture_queue.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

#include "core/atomic_file.h"
#include "core/image_files.h"

namespace quorlan {

namespace {

// A picture's mark: no label file is pending, an empty one a confirmed background.
LabelMark mark_of_label(bool present, const QString& label) {
  if (!present) return LabelMark::Pending;
  return QFileInfo(label).size() == 0 ? LabelMark::Background : LabelMark::Annotated;
}

// For a folder without pictures: a dataset manifest in it or up to two folders above that names
// split folders holding pictures (an offer the user answers, so any data.yaml with splits will
// do; its names are not taken from here).
void find_split_offer(FolderListing& listing) {
  std::optional<DatasetManifest> manifest;
  QDir look(QDir(listing.folder).absolutePath());
  for (int level = 0; level < 3 && !manifest; ++level) {
    for (const char* name : {"data.yaml", "data.yml"}) {
      manifest = read_dataset_manifest(look.filePath(QLatin1String(name)));
      if (manifest && !manifest->split_folders.isEmpty()) break;
      manifest.reset();
    }
    if (!look.cdUp()) break;
  }
  if (!manifest) return;
  for (const QString& split : manifest->split_folders)
    if (!list_folder_images(split).isEmpty()) listing.splits << split;
  if (!listing.splits.isEmpty()) listing.split_manifest = manifest->path;
}

}  // namespace

FolderListing list_folder(const QString& folder) {
  FolderListing listing;
  listing.folder = folder;
  listing.label_folder = label_folder_for(folder);
  // One listing of the folder gives the pictures (and the label files when they sit beside them).
  const QDir dir(folder);
  const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
  QSet<QString> label_files;
  for (const QString& name : names) {
    const int dot = name.lastIndexOf('.');
    if (dot <= 0) continue;
    if (name.mid(dot + 1).compare(QLatin1String("txt"), Qt::CaseInsensitive) == 0)
      label_files.insert(name);
    else if (is_image_name(name))
      listing.paths << dir.filePath(name);
  }
  if (listing.label_folder != folder) {
    const QStringList txt = QDir(listing.label_folder).entryList({"*.txt"}, QDir::Files | QDir::Hidden, QDir::Unsorted);
    label_files = QSet<QString>(txt.cbegin(), txt.cend());
  }
  std::sort(listing.paths.begin(), listing.paths.end());
  if (listing.paths.isEmpty()) find_split_offer(listing);

  // Only the label files found are looked at again, for their size; the pictures' own are read
  // for the folder's kind.
  QStringList present;
  listing.marks.reserve(listing.paths.size());
  for (const QString& path : std::as_const(listing.paths)) {
    const QString label = label_path_in(listing.label_folder, path);
    const bool annotated = label_files.contains(QFileInfo(label).fileName());
    if (annotated) present << label;
    listing.marks.append(mark_of_label(annotated, label));
  }
  // The class names belong to the folder: never the previous folder's list.
  listing.classes = load_folder_classes(folder, &names);
  listing.kind = label_kind_of_files(present);
  if (!listing.kind)
    if (const std::optional<DatasetManifest> manifest = find_folder_manifest(folder, &names))
      listing.kind = manifest->task;
  return listing;
}

int largest_label_id(const QStringList& label_paths) {
  int largest = -1;
  for (const QString& path : label_paths) {
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) continue;
    for (const LabelShape& shape : parse_label_bytes(*loaded, -1, 1, 1).shapes)
      largest = std::max(largest, shape.class_id);
  }
  return largest;
}

void PictureQueue::open(const FolderListing& listing) {
  folder_ = listing.folder;
  label_folder_ = listing.label_folder;
  paths_ = listing.paths;
  marks_ = listing.marks;
  current_ = 0;
  wanted_ = -1;
  ++request_;  // a picture of the previous folder being decoded is not shown
}

QString PictureQueue::label_path_of(const QString& image) const {
  return label_path_in(label_folder_.isEmpty() ? QFileInfo(image).path() : label_folder_, image);
}

QStringList PictureQueue::label_paths() const {
  QStringList labels;
  labels.reserve(paths_.size());
  for (const QString& path : paths_) labels << label_path_of(path);
  return labels;
}

int PictureQueue::ask(int idx) {
  wanted_ = idx;
  return ++request_;
}

void PictureQueue::shown(int idx) {
  current_ = idx;
  wanted_ = -1;
}

void PictureQueue::drop_asked() {
  ++request_;
  wanted_ = -1;
}

QStringList PictureQueue::neighbours(int idx, int from) const {
  const int ahead = idx < from ? -1 : +1;
  QStringList around;
  for (int neighbour : {idx + ahead, idx - ahead})
    if (neighbour >= 0 && neighbour < size()) around << paths_[neighbour];
  return around;
}

void PictureQueue::remark(const QStringList& label_paths) {
  const QSet<QString> changed(label_paths.cbegin(), label_paths.cend());
  for (int i = 0; i < size(); ++i) {
    const QString label = label_path_of(paths_[i]);
    if (!changed.contains(label)) continue;
    marks_[i] = mark_of_label(QFileInfo::exists(label), label);
  }
}

void PictureQueue::set_mark(int idx, LabelMark mark) {
  if (idx >= 0 && idx < marks_.size()) marks_[idx] = mark;
}

QString PictureQueue::progress_text() const {
  const auto done = std::count_if(marks_.cbegin(), marks_.cend(), [](LabelMark m) { return m != LabelMark::Pending; });
  return QStringLiteral("Annotated: %1 / %2").arg(done).arg(size());
}

QString PictureQueue::entry_text(int idx) const { return status_mark(mark(idx)) + QFileInfo(path(idx)).fileName(); }

}  // namespace quorlan

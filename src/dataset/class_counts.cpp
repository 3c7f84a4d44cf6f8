#include "dataset/class_counts.h"

#include <QHash>
#include <algorithm>

#include "core/atomic_file.h"
#include "core/dataset_reader.h"
#include "core/label_files.h"

namespace quorlan {

ClassCounts count_class_objects(const QVector<DatasetPicture>& pictures, const QStringList& classes,
                                const std::atomic<bool>* cancel, std::atomic<int>* done) {
  const int class_count = static_cast<int>(classes.size());
  QHash<int, int> per_id;
  QVector<int> first_seen;  // class ids in order of their first object
  for (const DatasetPicture& picture : pictures) {
    if (cancel && cancel->load()) break;
    if (done) ++*done;
    const Expected<QByteArray> loaded = read_regular_file(picture.label_in_use());
    if (!loaded) continue;
    // The rows the engine keeps: a file it rejects (an id without a name among them) adds nothing.
    for (const LabelRow& row : verdict_of_label_bytes(*loaded, class_count).rows)
      if (!row.duplicate && per_id[row.class_id]++ == 0) first_seen << row.class_id;
  }
  ClassCounts counts;
  for (int id : first_seen) counts.append({id < class_count ? classes[id] : QString::number(id), per_id.value(id)});
  return counts;
}

ClassCounts count_class_objects(const QStringList& image_paths, const QStringList& classes,
                                const std::atomic<bool>* cancel, std::atomic<int>* done) {
  QVector<DatasetPicture> pictures;
  pictures.reserve(image_paths.size());
  for (const QString& image : image_paths) pictures.append(picture_at(image));
  return count_class_objects(pictures, classes, cancel, done);
}

ClassCounts sorted_by_count(ClassCounts counts) {
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return counts;
}

}  // namespace quorlan

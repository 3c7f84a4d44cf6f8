#pragma once
// Objects per class over the label files of an image list.
#include <QString>
#include <QStringList>
#include <QVector>
#include <atomic>
#include <utility>

namespace quorlan {

using ClassCounts = QVector<std::pair<QString, int>>;

struct DatasetPicture;

// The objects the engine trains on, per class, in order of first appearance: the rows of each
// picture's label file as the engine keeps them. A file it rejects (a line it cannot read, an id
// beyond `classes`) adds nothing; unreadable files are skipped. With no class names (`classes`
// empty) objects are counted by class id, each named by its number.
// `cancel`, when raised, stops at the next file (the counts are then partial); `done` counts the files read.
ClassCounts count_class_objects(const QVector<DatasetPicture>& pictures, const QStringList& classes,
                                const std::atomic<bool>* cancel = nullptr, std::atomic<int>* done = nullptr);
// The same for a list of pictures, each with the label file the engine and the studio find for it.
ClassCounts count_class_objects(const QStringList& image_paths, const QStringList& classes,
                                const std::atomic<bool>* cancel = nullptr, std::atomic<int>* done = nullptr);
// Largest count first; equal counts keep their order of first appearance.
ClassCounts sorted_by_count(ClassCounts counts);

}  // namespace quorlan

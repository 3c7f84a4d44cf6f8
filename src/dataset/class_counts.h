#pragma once
// Objects per class over the label files of an image list.
#include <QString>
#include <QStringList>
#include <QVector>
#include <atomic>
#include <utility>

namespace quorlan {

using ClassCounts = QVector<std::pair<QString, int>>;

// Counts in order of first appearance. Lines whose first token is not an integer, negative ids,
// ids beyond the class list and unreadable files are skipped.
// `cancel`, when raised, stops at the next file (the counts are then partial); `done` counts the files read.
ClassCounts count_class_objects(const QStringList& image_paths, const QStringList& classes,
                                const std::atomic<bool>* cancel = nullptr, std::atomic<int>* done = nullptr);
// Largest count first; equal counts keep their order of first appearance.
ClassCounts sorted_by_count(ClassCounts counts);

}  // namespace quorlan

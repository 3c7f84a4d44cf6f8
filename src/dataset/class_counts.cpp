#include "dataset/class_counts.h"

#include <QFile>
#include <algorithm>

#include "core/label_files.h"
#include "core/text_scan.h"

namespace quorlan {

ClassCounts count_class_objects(const QStringList& image_paths, const QStringList& classes,
                                const std::atomic<bool>* cancel, std::atomic<int>* done) {
  std::vector<int> per_id(static_cast<std::size_t>(classes.size()), 0);
  std::vector<int> first_seen;  // class ids in order of their first object
  std::string buffer;
  for (const QString& image : image_paths) {
    if (cancel && cancel->load()) break;
    if (done) ++*done;
    if (!read_whole_file(QFile::encodeName(label_path_for(image)), buffer)) continue;
    for_each_line_tokens(buffer, [&](const std::vector<std::string_view>& tokens) {
      long long id = 0;
      if (tokens.empty() || !parse_int(tokens[0], &id) || id < 0 || id >= classes.size()) return true;
      if (per_id[id]++ == 0) first_seen.push_back(static_cast<int>(id));
      return true;
    });
  }
  ClassCounts counts;
  for (int id : first_seen) counts.append({classes[id], per_id[id]});
  return counts;
}

ClassCounts sorted_by_count(ClassCounts counts) {
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return counts;
}

}  // namespace quorlan

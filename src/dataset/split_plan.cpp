// The split's plan: which labelled pictures go to train, val and test, pictures of one scene kept
// together.
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QtConcurrent>
#include <algorithm>
#include <numeric>
#include <optional>
#include <random>

#include "core/atomic_file.h"
#include "core/dataset_reader.h"
#include "core/label_files.h"
#include "core/work_pool.h"
#include "dataset/dataset_qa.h"
#include "dataset/split_export.h"

namespace quorlan {

SplitCounts plan_split(int n, double r_train, double r_val) {
  SplitCounts c;
  c.train = static_cast<int>(n * r_train);
  c.val = std::min(static_cast<int>(n * r_val), n - c.train);
  c.test = n - c.train - c.val;
  return c;
}

QVector<ImageLabelPair> collect_annotated_pairs(const QVector<DatasetPicture>& pictures, bool backgrounds,
                                                QStringList* unlabelled) {
  QVector<ImageLabelPair> pairs;
  QSet<QString> seen;
  for (const DatasetPicture& picture : pictures) {
    if (seen.contains(picture.image)) continue;
    seen.insert(picture.image);
    const QString label = picture.label_in_use();
    if (is_regular_file(label)) {
      pairs.append({picture.image, label});
      continue;
    }
    if (unlabelled) *unlabelled << QFileInfo(picture.image).fileName();
    if (backgrounds) pairs.append({picture.image, label});
  }
  return pairs;
}

QVector<ImageLabelPair> collect_annotated_pairs(const QStringList& image_paths, bool backgrounds,
                                                QStringList* unlabelled) {
  QVector<DatasetPicture> pictures;
  pictures.reserve(image_paths.size());
  for (const QString& image : image_paths) pictures.append(picture_at(image));
  return collect_annotated_pairs(pictures, backgrounds, unlabelled);
}

void shuffle_pairs(QVector<ImageLabelPair>& pairs) {
  std::random_device seed;
  std::mt19937_64 generator((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
  std::shuffle(pairs.begin(), pairs.end(), generator);
}

QString source_stem(const QString& image_path) {
  QString stem = QFileInfo(image_path).completeBaseName();
  static const QRegularExpression tile(QStringLiteral("^(.+)_part_\\d+$"));
  static const QRegularExpression variant(QStringLiteral("^(.+)_warped_enriched_\\d+_var_\\d+(_\\d+)?$"));
  static const QRegularExpression scaled(QStringLiteral("^(.+)_scaled(_\\d+)?$"));
  // Tools applied one after another (a tile of a variant of a resized copy) peel off in turn.
  for (bool peeled = true; peeled;) {
    peeled = false;
    for (const QRegularExpression* re : {&tile, &variant, &scaled}) {
      const QRegularExpressionMatch m = re->match(stem);
      if (m.hasMatch()) {
        stem = m.captured(1);
        peeled = true;
      }
    }
  }
  return stem;
}

QString video_of(const QString& image_path) {
  const QFileInfo info(image_path);
  const QString stem = info.completeBaseName();
  // The studio's own frames, "<video>_<index padded to 6 or more>", also once frames of several
  // videos share a folder; a camera's "IMG_20231005_123456" (a date before the number) is no video.
  static const QRegularExpression own(QStringLiteral("^(.+)_\\d{6,}$"));
  static const QRegularExpression dated(QStringLiteral("(^|_)\\d{8}$"));
  const QRegularExpressionMatch m = own.match(stem);
  if (m.hasMatch() && !dated.match(m.captured(1)).hasMatch())
    return info.absolutePath() + QLatin1Char('/') + m.captured(1);
  // Other tools' "frame_000120", "clip_frame_0042", "frame000120".
  static const QRegularExpression other(QStringLiteral("^(.*?)[_-]?frame[_-]?\\d{3,}$"),
                                        QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch o = other.match(stem);
  if (o.hasMatch()) return info.absolutePath() + QLatin1Char('/') + o.captured(1) + QStringLiteral("#frames");
  return {};
}

GroupedSplit plan_grouped_split(const QVector<ImageLabelPair>& pairs, double r_train, double r_val, quint64 seed,
                                const std::atomic<bool>* cancel) {
  const int n = static_cast<int>(pairs.size());
  std::vector<int> parent(static_cast<std::size_t>(n));
  std::iota(parent.begin(), parent.end(), 0);
  const std::function<int(int)> find = [&](int i) {
    while (parent[static_cast<std::size_t>(i)] != i)
      i = parent[static_cast<std::size_t>(i)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
    return i;
  };
  const auto join = [&](int a, int b) { parent[static_cast<std::size_t>(find(a))] = find(b); };
  QStringList images;
  for (const ImageLabelPair& pair : pairs) images << pair.image;
  const QVector<QByteArray> keys = content_keys(images);
  QHash<QString, int> by_name;
  QHash<QString, int> by_video;
  QHash<QByteArray, int> by_content;
  for (int i = 0; i < n; ++i) {
    const QString name_key = QFileInfo(pairs[i].image).absolutePath() + QLatin1Char('/') + source_stem(pairs[i].image);
    if (const auto it = by_name.constFind(name_key); it != by_name.cend())
      join(i, *it);
    else
      by_name.insert(name_key, i);
    if (const QString video = video_of(pairs[i].image); !video.isEmpty()) {
      if (const auto it = by_video.constFind(video); it != by_video.cend())
        join(i, *it);
      else
        by_video.insert(video, i);
    }
    if (keys[i].isEmpty()) continue;
    if (const auto it = by_content.constFind(keys[i]); it != by_content.cend())
      join(i, *it);
    else
      by_content.insert(keys[i], i);
  }
  // Near-duplicates (a resized or re-encoded copy) join too, by perceptual hash.
  const QVector<std::optional<PictureHash>> hashes = QtConcurrent::blockingMapped<QVector<std::optional<PictureHash>>>(
      &pixel_pool(), pairs, [cancel](const ImageLabelPair& pair) -> std::optional<PictureHash> {
        if (cancel && cancel->load()) return std::nullopt;
        return perceptual_hash(pair.image);
      });
  for (int i = 0; i < n; ++i) {
    if (!hashes[i]) continue;
    for (int j = i + 1; j < n; ++j)
      if (hashes[j] && alike(*hashes[i], *hashes[j])) join(i, j);
  }
  // Groups in the order of their first image, so the seed alone decides the shuffle.
  QVector<QVector<int>> groups;
  QHash<int, int> group_of_root;
  for (int i = 0; i < n; ++i) {
    const int root = find(i);
    auto it = group_of_root.find(root);
    if (it == group_of_root.end()) {
      it = group_of_root.insert(root, static_cast<int>(groups.size()));
      groups.append(QVector<int>());
    }
    groups[*it].append(i);
  }
  std::mt19937_64 generator(seed);
  for (int i = static_cast<int>(groups.size()) - 1; i > 0; --i) {  // Fisher-Yates, the same on every library
    const int j = static_cast<int>(generator() % static_cast<quint64>(i + 1));
    std::swap(groups[i], groups[j]);
  }
  const SplitCounts target = plan_split(n, r_train, r_val);
  GroupedSplit split;
  split.groups = static_cast<int>(groups.size());
  QVector<ImageLabelPair> sets[3];
  QSet<QString> videos[3];
  for (const QVector<int>& group : groups) {
    const int set = split.counts.train < target.train ? 0 : split.counts.val < target.val ? 1 : 2;
    for (int i : group) {
      sets[set].append(pairs[i]);
      if (const QString video = video_of(pairs[i].image); !video.isEmpty()) videos[set].insert(video);
    }
    (set == 0 ? split.counts.train : set == 1 ? split.counts.val : split.counts.test) += static_cast<int>(group.size());
  }
  split.pairs = sets[0] + sets[1] + sets[2];
  for (int set = 0; set < 3; ++set) split.videos[set] = static_cast<int>(videos[set].size());
  return split;
}

QStringList set_class_counts(const GroupedSplit& split, const QStringList& names) {
  QStringList lines;
  const int sizes[3] = {split.counts.train, split.counts.val, split.counts.test};
  int at = 0;
  for (int set = 0; set < 3; ++set) {
    QMap<int, int> counts;
    for (int k = 0; k < sizes[set]; ++k, ++at) {
      const Expected<QByteArray> loaded = read_regular_file(split.pairs[at].label);
      if (!loaded) continue;
      for (const LabelRow& row : verdict_of_label_bytes(*loaded, static_cast<int>(names.size())).rows)
        if (!row.duplicate) ++counts[row.class_id];
    }
    QVector<std::pair<int, int>> sorted;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) sorted.append({it.key(), it.value()});
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    QStringList parts;
    for (const auto& [id, count] : sorted)
      parts << QStringLiteral("%1 %2").arg(id < names.size() ? names[id] : QString::number(id)).arg(count);
    lines << (parts.isEmpty() ? QStringLiteral("no objects") : parts.join(QStringLiteral(", ")));
  }
  return lines;
}

}  // namespace quorlan

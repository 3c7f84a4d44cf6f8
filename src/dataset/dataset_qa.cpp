#include "dataset/dataset_qa.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QSet>
#include <QtAlgorithms>
#include <QtConcurrent>
#include <algorithm>
#include <cmath>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/atomic_file.h"
#include "core/class_names.h"
#include "core/engine_labels.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/jpeg_eighth.h"
#include "core/label_files.h"
#include "core/text_scan.h"

namespace quorlan {
namespace {

struct ImageFacts {
  QString path;
  QSize size;
  QByteArray content;  // see content_keys
  PictureHash phash;
  bool decoded = false;       // the reduced decode worked (a hash of 0 is a hash like any other)
  bool jpeg_unended = false;  // a JPEG whose last two bytes are not its end marker
};

QString number_text(double v) { return QString::number(v, 'g', 3); }

}  // namespace

namespace {

std::optional<PictureHash> difference_hash(const cv::Mat& decoded, const std::function<cv::Mat()>& full_decode) {
  cv::Mat grey = decoded;
  if (grey.empty()) return std::nullopt;
  if (grey.cols < 36 || grey.rows < 32) {  // a small picture: its full decode is cheap and says more
    grey = full_decode();
    if (grey.empty()) return std::nullopt;
  }
  cv::Mat small;
  cv::resize(grey, small, cv::Size(9, 8), 0, 0, cv::INTER_AREA);
  PictureHash hash;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      hash.bits = (hash.bits << 1) | (small.at<uchar>(y, x) > small.at<uchar>(y, x + 1) ? 1u : 0u);
  hash.mean = static_cast<int>(std::lround(cv::mean(small)[0]));
  return hash;
}

cv::Mat decode(const QByteArray& bytes, int flags) {
  try {
    const cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.constData()));
    return cv::imdecode(raw, flags);
  } catch (const cv::Exception&) {
    return {};
  }
}

// The grey picture at 1/8 scale: a baseline JPEG from its DC coefficients, anything else from the
// decoder's own reduced decode.
cv::Mat reduced_grey(const QByteArray& bytes) {
  cv::Mat grey = jpeg_eighth_grey(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                  static_cast<std::size_t>(bytes.size()));
  return grey.empty() ? decode(bytes, cv::IMREAD_REDUCED_GRAYSCALE_8) : grey;
}

// The hash of a picture's bytes; a JPEG is never decoded at full size for it.
std::optional<PictureHash> hash_of_bytes(const QByteArray& bytes) {
  return difference_hash(reduced_grey(bytes), [&] { return decode(bytes, cv::IMREAD_GRAYSCALE); });
}

}  // namespace

std::optional<PictureHash> perceptual_hash(const QString& image_path) {
  const Expected<QByteArray> loaded = read_regular_file(image_path);
  return loaded ? hash_of_bytes(*loaded) : std::nullopt;
}

QVector<QByteArray> content_keys(const QStringList& paths) {
  // Exact copies have one size: only files that share theirs are hashed.
  QVector<qint64> sizes(paths.size(), -1);
  QHash<qint64, int> files_of_size;
  for (int i = 0; i < paths.size(); ++i) {
    const QFileInfo info(paths[i]);
    if (info.isFile()) ++files_of_size[sizes[i] = info.size()];
  }
  QVector<QByteArray> keys(paths.size());
  QVector<int> to_hash;
  for (int i = 0; i < paths.size(); ++i)
    if (sizes[i] >= 0 && files_of_size.value(sizes[i]) > 1) to_hash << i;
  QtConcurrent::blockingMap(to_hash, [&](int i) {
    QFile file(paths[i]);
    if (!file.open(QIODevice::ReadOnly)) return;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(&file);
    keys[i] = hash.result() + QByteArray::number(sizes[i]);
  });
  return keys;
}

namespace {

// The pictures under `splits` as the engine lists a split folder (every picture under it), each
// once: a folder named twice, or inside another, and a picture already `listed` (by canonical
// path) are skipped.
QStringList split_pictures(const QStringList& splits, QSet<QString> listed = {}) {
  QStringList pictures;
  for (const QString& split : splits) {
    QDirIterator it(split, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = it.next();
      if (!is_image_name(path)) continue;
      const QString canonical = QFileInfo(path).canonicalFilePath();
      if (listed.contains(canonical)) continue;
      listed.insert(canonical);
      pictures << path;
    }
  }
  return pictures;
}

}  // namespace

QString engine_rewrites_text(const QStringList& rewritten) {
  QStringList samples;
  for (const QString& path : rewritten.mid(0, 5)) samples << "  " + QDir::toNativeSeparators(path);
  if (rewritten.size() > 5) samples << QStringLiteral("  ... and %1 more").arg(rewritten.size() - 5);
  return QStringLiteral(
             "The engine re-encodes %1 JPEG file(s) of this dataset in place when it trains: they do not "
             "end with the JPEG end marker (cut short, or other data after the picture), and their "
             "original bytes would be lost.\n\n%2")
      .arg(rewritten.size())
      .arg(samples.join('\n'));
}

bool engine_rewrites_jpeg(const QByteArray& bytes) {
  return bytes.startsWith("\xFF\xD8\xFF") && !bytes.endsWith("\xFF\xD9");
}

QStringList jpegs_the_engine_rewrites(const QString& data_yaml) {
  // Only each file's first three and last two bytes are read.
  return QtConcurrent::blockingFiltered(split_pictures(manifest_split_folders(data_yaml)), [](const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 5) return false;
    QByteArray ends = file.read(3);
    if (!file.seek(file.size() - 2)) return false;
    ends += file.read(2);
    return engine_rewrites_jpeg(ends);
  });
}

QStringList other_split_images(const QString& manifest, const QStringList& images) {
  if (manifest.isEmpty() || images.isEmpty()) return {};
  const QString here = QFileInfo(QFileInfo(images.first()).absolutePath()).canonicalFilePath();
  const QStringList splits = manifest_split_folders(manifest);
  const auto is_here = [&](const QString& split) { return QFileInfo(split).canonicalFilePath() == here; };
  if (std::none_of(splits.cbegin(), splits.cend(), is_here)) return {};
  QStringList others;
  for (const QString& split : splits)
    if (!is_here(split)) others << split;
  QSet<QString> own;
  for (const QString& image : images) own.insert(QFileInfo(image).canonicalFilePath());
  return split_pictures(others, own);
}

int hamming(std::uint64_t a, std::uint64_t b) {
  return static_cast<int>(qPopulationCount(static_cast<quint64>(a ^ b)));
}

bool alike(const PictureHash& a, const PictureHash& b) {
  return hamming(a.bits, b.bits) <= kNearDuplicateBits && std::abs(a.mean - b.mean) <= kNearDuplicateMeanLevels;
}

QaFindings examine_dataset_quality(const QString& folder, const QStringList& class_names, int imgsz,
                                   const std::atomic<bool>* cancel) {
  QaFindings findings;
  const auto cancelled = [cancel] { return cancel && cancel->load(); };
  QaSection bad_lines{"Label lines the engine would reject or drop", {}, {}};
  QaSection rejected{"Label files the engine rejects whole (their pictures are left out of training)", {}, {}};
  QaSection backgrounds{"Pictures without a label file, which the engine trains as backgrounds (no objects)", {}, {}};
  QaSection trimmed{"Label files whose duplicate rows the engine removes", {}, {}};
  QaSection undecodable{"Pictures skipped: their names are not valid UTF-8 (rename them)", {}, {}};
  undecodable.items = undecodable_image_notes(folder);
  QaSection clipped{
      "Label files with coordinates just beyond 0..1, which the engine clips (within its 1% tolerance)", {}, {}};
  QaSection mixed{"Box lines and polygon lines mixed (the engine then trains boxes only)", {}, {}};
  QaSection tiny{QStringLiteral("Boxes under 2 px at the training size %1").arg(imgsz), {}, {}};
  QaSection unusable{"Images the engine cannot use", {}, {}};
  QaSection exact{"Exact duplicate images", {}, {}};
  QaSection near{"Near-duplicate images (resized or re-encoded copies)", {}, {}};
  QaSection shared{"Images sharing one label file", {}, {}};
  // The engine's own check: such a file is taken for corrupt and re-encoded in place (quality 100,
  // metadata and anything after the picture gone) the first time it trains on it.
  QaSection unended{"JPEG files the engine re-encodes in place when it trains (no end marker at the end)", {}, {}};

  const QStringList images = list_folder_images(folder);
  const QString labels = label_folder_for(folder);

  // Images sharing a label file: a.jpg and a.png both map to a.txt, here and in the engine.
  QHash<QString, QStringList> by_label;
  for (const QString& image : images) by_label[label_path_in(labels, image)] << image;
  for (auto it = by_label.cbegin(); it != by_label.cend(); ++it)
    if (it.value().size() > 1) {
      QStringList names;
      for (const QString& p : it.value()) names << QFileInfo(p).fileName();
      shared.items << names.join(" + ") + " -> " + QFileInfo(it.key()).fileName();
      shared.images << it.value();
    }

  // Sizes, content hashes and perceptual hashes, on all cores.
  // Each file is read once: its bytes are hashed, their header gives the size, and the reduced
  // decode comes from them too.
  QVector<ImageFacts> facts = QtConcurrent::blockingMapped<QVector<ImageFacts>>(images, [&](const QString& path) {
    ImageFacts f;
    f.path = path;
    if (cancelled()) return f;
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) return f;
    QByteArray bytes = *loaded;
    f.jpeg_unended = engine_rewrites_jpeg(bytes);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    f.size = QImageReader(&buffer).size();
    if (!f.size.isValid()) f.size = header_size(path);  // a PNG that ends after its header, say
    const qint64 pixels = f.size.isValid() ? static_cast<qint64>(f.size.width()) * f.size.height() : 0;
    if (f.size.isValid() && pixels <= max_decode_pixels()) {
      const std::optional<PictureHash> hash = hash_of_bytes(bytes);
      f.decoded = hash.has_value();
      f.phash = hash.value_or(PictureHash{});
    }
    return f;
  });

  // The pictures of the dataset's other splits, when this folder is one of its manifest's splits.
  const QString manifest = find_dataset_manifest(folder);
  const QStringList other_images = other_split_images(manifest, images);
  if (cancelled()) return QaFindings{{}, 0, true};
  const QVector<QByteArray> keys = content_keys(images + other_images);
  for (int i = 0; i < facts.size(); ++i) facts[i].content = keys[i];

  int box_lines = 0, polygon_lines = 0;
  QStringList box_files;
  std::string buffer;
  for (const ImageFacts& f : facts) {
    const QString name = QFileInfo(f.path).fileName();
    if (f.jpeg_unended) {
      unended.items << name + ": cut short, or other data after the picture";
      unended.images << f.path;
    }
    const qint64 pixels = f.size.isValid() ? static_cast<qint64>(f.size.width()) * f.size.height() : 0;
    if (pixels > max_decode_pixels()) {
      // Not unreadable: too large to decode here, and said with its size.
      unusable.items << QStringLiteral(
                            "%1: too large to decode, %2 x %3 px (%4 megapixels; the bound is %5, "
                            "QUORLAN_MAX_MEGAPIXELS raises it)")
                            .arg(name)
                            .arg(f.size.width())
                            .arg(f.size.height())
                            .arg(pixels / 1000000)
                            .arg(max_decode_pixels() / 1000000);
      unusable.images << f.path;
    } else if (!f.size.isValid() || !f.decoded) {
      unusable.items << name + ": cannot be read";
      unusable.images << f.path;
    } else if (f.size.width() < 10 || f.size.height() < 10) {
      unusable.items
          << QStringLiteral("%1: %2 x %3 px (under 10 px a side)").arg(name).arg(f.size.width()).arg(f.size.height());
      unusable.images << f.path;
    }
    const QString label = label_path_in(labels, f.path);
    if (!file_stamp(label).exists) {
      // Not yet annotated here; to the engine, whose converters write backgrounds this way, a
      // picture with no objects.
      backgrounds.items << name;
      backgrounds.images << f.path;
      continue;
    }
    if (!read_whole_file(QFile::encodeName(label), buffer)) continue;
    const QString label_name = QFileInfo(label).fileName();
    // The engine's own verdict on the whole file decides; the line findings say where.
    const EngineLabelVerdict verdict = engine_label_verdict(
        QByteArray::fromRawData(buffer.data(), static_cast<int>(buffer.size())), static_cast<int>(class_names.size()));
    if (verdict.outcome == EngineLabelVerdict::Outcome::Rejected) {
      rejected.items << QStringLiteral("%1: %2").arg(label_name, verdict.reason);
      rejected.images << f.path;
    }
    if (verdict.outcome != EngineLabelVerdict::Outcome::Rejected && verdict.duplicates > 0) {
      trimmed.items << QStringLiteral("%1: %2 duplicate row(s)").arg(label_name).arg(verdict.duplicates);
      trimmed.images << f.path;
    }
    if (verdict.clipped) {
      clipped.items << label_name;
      clipped.images << f.path;
    }
    const bool engine_objects = verdict.outcome == EngineLabelVerdict::Outcome::Rejected || verdict.duplicates > 0;
    QSet<QString> seen;
    int line_number = 0, shapes = 0;
    const double scale = f.size.isValid() ? imgsz / static_cast<double>(std::max(f.size.width(), f.size.height())) : 0;
    for_each_line_tokens(buffer, [&](const std::vector<std::string_view>& tokens) {
      ++line_number;
      if (tokens.empty()) return true;
      ++shapes;
      const auto bad = [&](const QString& why) {
        if (!engine_objects) return;  // the engine takes the file as it is
        bad_lines.items << QStringLiteral("%1 line %2: %3").arg(label_name).arg(line_number).arg(why);
        bad_lines.images << f.path;
      };
      QString line;
      for (const auto& t : tokens) line += QString::fromUtf8(t.data(), static_cast<int>(t.size())) + ' ';
      if (seen.contains(line)) return bad("duplicate of an earlier line"), true;
      seen.insert(line);
      long long id = 0;
      std::string_view first = tokens[0];
      if (line_number == 1 && first.substr(0, 3) == "\xEF\xBB\xBF") first.remove_prefix(3);  // read as utf-8-sig
      double whole = 0;
      if (!parse_int(first, &id)) {
        if (!parse_double(first, &whole) || whole != std::floor(whole)) return bad("class id is not an integer"), true;
        id = static_cast<long long>(whole);  // "1.0" is class 1 to the engine
      }
      if (id < 0) return bad("negative class id"), true;
      if (!class_names.isEmpty() && id >= class_names.size())
        return bad(QStringLiteral("class id %1 has no name").arg(id)), true;
      std::vector<double> v;
      for (std::size_t i = 1; i < tokens.size(); ++i) {
        double x = 0;
        if (!parse_double(tokens[i], &x) || !std::isfinite(x)) return bad("a token is not a number"), true;
        v.push_back(x);
      }
      if (std::any_of(v.begin(), v.end(), [](double x) { return x < -0.01 || x > 1.01; }))
        return bad("coordinates outside 0..1 beyond the engine's 1% tolerance"), true;
      if (v.size() == 4) {
        ++box_lines;
        if (box_files.isEmpty() || box_files.last() != label_name) box_files << label_name;
        if (v[2] <= 0 || v[3] <= 0) return bad("zero-area box"), true;
        if (scale > 0) {
          const double w = v[2] * f.size.width() * scale, h = v[3] * f.size.height() * scale;
          if (w < 2 || h < 2) {
            tiny.items << QStringLiteral("%1 line %2: %3 x %4 px")
                              .arg(label_name)
                              .arg(line_number)
                              .arg(number_text(w), number_text(h));
            tiny.images << f.path;
          }
        }
        return true;
      }
      ++polygon_lines;
      if (v.size() < 6) return bad("a polygon needs at least 3 points"), true;
      if (v.size() % 2 != 0) return bad("an odd number of coordinates"), true;
      return true;
    });
    if (shapes == 0) ++findings.background;
  }
  if (box_lines > 0 && polygon_lines > 0) {
    mixed.items << QStringLiteral("%1 box line(s) and %2 polygon line(s); box lines in %3")
                       .arg(box_lines)
                       .arg(polygon_lines)
                       .arg(box_files.mid(0, 3).join(", ") + (box_files.size() > 3 ? ", ..." : ""));
  }

  // Exact duplicates by content; near-duplicates by perceptual hash, as groups.
  QHash<QByteArray, QVector<int>> by_content;
  for (int i = 0; i < facts.size(); ++i)
    if (!facts[i].content.isEmpty()) by_content[facts[i].content] << i;
  QSet<int> in_exact;
  QStringList exact_groups;
  for (auto it = by_content.cbegin(); it != by_content.cend(); ++it) {
    if (it.value().size() < 2) continue;
    QStringList names;
    for (int i : it.value()) {
      names << QFileInfo(facts[i].path).fileName();
      exact.images << facts[i].path;
      if (i != it.value().first()) in_exact.insert(i);
    }
    exact_groups << names.join(" = ");
  }
  exact_groups.sort();
  exact.items = exact_groups;
  std::vector<int> parent(static_cast<std::size_t>(facts.size()));
  for (int i = 0; i < facts.size(); ++i) parent[static_cast<std::size_t>(i)] = i;
  const std::function<int(int)> root = [&](int i) {
    while (parent[static_cast<std::size_t>(i)] != i) i = parent[static_cast<std::size_t>(i)];
    return i;
  };
  for (int i = 0; i < facts.size(); ++i) {
    if (!facts[i].decoded || in_exact.contains(i)) continue;
    for (int j = i + 1; j < facts.size(); ++j) {
      if (!facts[j].decoded || in_exact.contains(j)) continue;
      if (alike(facts[i].phash, facts[j].phash)) parent[static_cast<std::size_t>(root(j))] = root(i);
    }
  }
  QMap<int, QStringList> near_groups;
  for (int i = 0; i < facts.size(); ++i) {
    if (!facts[i].decoded || in_exact.contains(i)) continue;
    near_groups[root(i)] << facts[i].path;
  }
  for (const QStringList& group : near_groups) {
    if (group.size() < 2) continue;
    QStringList names;
    for (const QString& p : group) names << QFileInfo(p).fileName();
    near.items << names.join(" ~ ");
    near.images << group;
  }

  // The same picture in another split: the engine would then validate on what it trained on.
  QaSection leak{"Images also in another split of the dataset (validated on what was trained on)", {}, {}};
  if (!other_images.isEmpty()) {
    const QVector<std::optional<PictureHash>> other_hashes =
        QtConcurrent::blockingMapped<QVector<std::optional<PictureHash>>>(
            other_images, [&](const QString& path) -> std::optional<PictureHash> {
              return cancelled() ? std::nullopt : perceptual_hash(path);
            });
    if (cancelled()) return QaFindings{{}, 0, true};
    const QDir root = QFileInfo(manifest).absoluteDir();
    for (int i = 0; i < facts.size(); ++i) {
      for (int j = 0; j < other_images.size(); ++j) {
        const QByteArray& key = keys[facts.size() + j];
        const bool same = !key.isEmpty() && key == facts[i].content;
        if (!same && !(facts[i].decoded && other_hashes[j] && alike(facts[i].phash, *other_hashes[j]))) continue;
        leak.items << QStringLiteral("%1 %2 %3")
                          .arg(QFileInfo(facts[i].path).fileName(), same ? "=" : "~",
                               root.relativeFilePath(other_images[j]));
        leak.images << facts[i].path;
        break;
      }
    }
  }

  for (QaSection* s : {&rejected, &trimmed, &bad_lines, &clipped, &mixed, &tiny, &unusable, &unended, &exact, &near,
                       &shared, &leak, &backgrounds, &undecodable})
    if (!s->items.isEmpty()) findings.sections << *s;
  return findings;
}

QString qa_report_text(const QaFindings& f) {
  QString text = QStringLiteral("\nConfirmed background images (empty label files): %1\n").arg(f.background);
  if (f.sections.isEmpty()) return text + QStringLiteral("No problems the engine would meet were found.\n");
  for (const QaSection& s : f.sections) {
    text += QStringLiteral("\n%1: %2\n").arg(s.title).arg(s.items.size());
    for (const QString& item : s.items.mid(0, 3)) text += QStringLiteral("  %1\n").arg(item);
    if (s.items.size() > 3) text += QStringLiteral("  ... (Details lists all)\n");
  }
  return text;
}

}  // namespace quorlan

#include "dataset/dataset_qa.h"
#include "core/work_pool.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
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
#include "core/dataset_reader.h"
#include "core/engine_labels.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/jpeg_eighth.h"
#include "core/label_files.h"

namespace quorlan {
namespace {

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
  // PNG goes through Qt's reader, whose libpng warnings (a known-incorrect sRGB profile, once per
  // file) reach the studio's message filter; OpenCV's would go straight to the terminal.
  if (bytes.startsWith("\x89PNG\r\n\x1A\n")) {
    const QImage rgb = QImage::fromData(bytes).convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull()) return {};
    const cv::Mat view(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar*>(rgb.constBits()),
                       static_cast<std::size_t>(rgb.bytesPerLine()));
    cv::Mat grey;
    cv::cvtColor(view, grey, cv::COLOR_RGB2GRAY);  // the same weights as OpenCV's own grey decode
    return grey;
  }
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

std::optional<PictureHash> perceptual_hash_of(const cv::Mat& picture) {
  if (picture.empty()) return std::nullopt;
  cv::Mat grey = picture;
  if (picture.channels() == 3) cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
  return difference_hash(grey, [&] { return grey; });
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
  QtConcurrent::blockingMap(&pixel_pool(), to_hash, [&](int i) {
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
  return QtConcurrent::blockingFiltered(&pixel_pool(), split_pictures(manifest_split_folders(data_yaml)),
                                        [](const QString& path) {
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

namespace {

// What one picture and its label file are, read once.
struct PictureFacts {
  DatasetPicture picture;
  QString label;  // the label file in use
  QSize size;
  QByteArray content;  // see content_keys
  PictureHash phash;
  bool decoded = false;    // the reduced decode worked (a hash of 0 is a hash like any other)
  QString image_problem;   // the engine's reason to drop the picture for its bytes alone
  bool too_large = false;  // too large to decode here
  PictureVerdict verdict;  // the engine's reading of the label file
  bool label_exists = false;
};

PictureFacts facts_of(const DatasetPicture& picture, int class_count, const std::function<bool()>& cancelled) {
  PictureFacts f;
  f.picture = picture;
  if (cancelled()) return f;
  f.label = picture.label_in_use();
  f.label_exists = file_stamp(f.label).exists;
  f.verdict = read_picture(picture, class_count, /*check_image=*/false);
  // Each picture is read once: the engine's checks and the hashes work on the same bytes.
  const Expected<QByteArray> loaded = read_regular_file(picture.image);
  if (!loaded) {
    f.image_problem = QStringLiteral("cannot be read: %1").arg(loaded.error());
    return f;
  }
  bool reencoded = false;
  f.image_problem = engine_image_problem(*loaded, picture.image, &reencoded, &f.size);
  f.verdict.jpeg_reencoded = reencoded;
  const qint64 pixels = f.size.isValid() ? static_cast<qint64>(f.size.width()) * f.size.height() : 0;
  f.too_large = pixels > max_decode_pixels();
  if (f.size.isValid() && !f.too_large) {
    const std::optional<PictureHash> hash = hash_of_bytes(*loaded);
    f.decoded = hash.has_value();
    f.phash = hash.value_or(PictureHash{});
  }
  return f;
}

QString file_name(const QString& path) { return QFileInfo(path).fileName(); }

void add(QaSection& section, const QString& item, const QString& image) {
  section.items << item;
  section.images << image;
}

// Pictures whose bytes the engine refuses, and JPEGs it rewrites in place.
void find_image_problems(const QVector<PictureFacts>& facts, QaSection& unusable, QaSection& unended) {
  for (const PictureFacts& f : facts) {
    const QString name = file_name(f.picture.image);
    if (f.verdict.jpeg_reencoded) add(unended, name + ": other data after the picture", f.picture.image);
    if (f.too_large) {
      // Not unreadable: too large to decode here, and said with its size.
      add(unusable,
          QStringLiteral("%1: too large to decode, %2 x %3 px (%4 megapixels; the bound is %5, "
                         "QUORLAN_MAX_MEGAPIXELS raises it)")
              .arg(name)
              .arg(f.size.width())
              .arg(f.size.height())
              .arg(static_cast<qint64>(f.size.width()) * f.size.height() / 1000000)
              .arg(max_decode_pixels() / 1000000),
          f.picture.image);
    } else if (f.size.isValid() && (f.size.width() < 10 || f.size.height() < 10)) {
      add(unusable,
          QStringLiteral("%1: %2 x %3 px (under 10 px a side)").arg(name).arg(f.size.width()).arg(f.size.height()),
          f.picture.image);
    } else if (f.size.isValid() && !f.image_problem.isEmpty()) {
      add(unusable, QStringLiteral("%1: %2").arg(name, f.image_problem), f.picture.image);
    } else if (!f.size.isValid() || !f.decoded) {
      add(unusable, name + ": cannot be read", f.picture.image);
    }
  }
}

// The lines of a rejected file that the engine refuses on their own: where to look.
void find_bad_lines(const PictureFacts& f, int class_count, QaSection& bad_lines) {
  const Expected<QByteArray> loaded = read_regular_file(f.label);
  if (!loaded) return;
  const QVector<LabelLine> lines = split_label_lines(*loaded);
  // A file of one line is said whole by the file's own finding.
  if (std::count_if(lines.cbegin(), lines.cend(), [](const LabelLine& l) { return !l.blank(); }) < 2) return;
  for (const LabelLine& line : lines) {
    if (line.blank()) continue;
    QByteArray bytes = line.raw;
    if (line.number == 1 && bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
    const EngineLabelVerdict alone = engine_label_verdict(bytes, class_count);
    if (alone.outcome == EngineLabelVerdict::Outcome::Rejected)
      add(bad_lines, QStringLiteral("%1 line %2: %3").arg(file_name(f.label)).arg(line.number).arg(alone.reason),
          f.picture.image);
  }
}

struct LabelSections {
  QaSection rejected{"Label files the engine rejects whole (their pictures are left out of training)", {}, {}};
  QaSection bad_lines{"Label lines the engine would reject or drop", {}, {}};
  QaSection trimmed{"Label files whose duplicate rows the engine removes", {}, {}};
  QaSection clipped{
      "Label files with coordinates just beyond 0..1, which the engine clips (within its 1% tolerance)", {}, {}};
  QaSection mixed{"Box lines and polygon lines mixed (the engine then trains boxes only)", {}, {}};
  QaSection tiny;
  int background = 0;
};

// The engine's verdict on each label file, the rows it keeps, and boxes too small at `imgsz`.
void find_label_findings(const QVector<PictureFacts>& facts, int class_count, int imgsz, LabelSections& out) {
  int box_files = 0, segment_files = 0;
  QStringList box_names;
  for (const PictureFacts& f : facts) {
    if (!f.label_exists) continue;
    const QString label_name = file_name(f.label);
    const PictureVerdict& v = f.verdict;
    switch (v.outcome) {
      case PictureVerdict::Outcome::Rejected:
        add(out.rejected, QStringLiteral("%1: %2").arg(label_name, v.reason), f.picture.image);
        find_bad_lines(f, class_count, out.bad_lines);
        continue;
      case PictureVerdict::Outcome::Empty:
        ++out.background;
        continue;
      default:
        break;
    }
    if (v.duplicates > 0)
      add(out.trimmed, QStringLiteral("%1: %2 duplicate row(s)").arg(label_name).arg(v.duplicates), f.picture.image);
    if (v.clipped) add(out.clipped, label_name, f.picture.image);
    if (v.segments) {
      ++segment_files;
    } else {
      ++box_files;
      if (box_names.size() < 4) box_names << label_name;
    }
    if (v.segments || !f.size.isValid()) continue;
    const double scale = imgsz / static_cast<double>(std::max(f.size.width(), f.size.height()));
    for (const LabelRow& row : v.rows) {
      const double w = row.w * f.size.width() * scale, h = row.h * f.size.height() * scale;
      if (w < 2 || h < 2)
        add(out.tiny,
            QStringLiteral("%1 line %2: %3 x %4 px").arg(label_name).arg(row.line).arg(number_text(w), number_text(h)),
            f.picture.image);
    }
  }
  if (box_files > 0 && segment_files > 0)
    out.mixed.items << QStringLiteral("%1 file(s) of box lines and %2 of polygon lines; box lines in %3")
                           .arg(box_files)
                           .arg(segment_files)
                           .arg(box_names.mid(0, 3).join(", ") + (box_names.size() > 3 ? ", ..." : ""));
}

// Pictures the engine trains as backgrounds: no label file where it looks. Labels the studio keeps
// beside pictures inside a folder named images/ are not where it looks (it reads ../labels/).
void find_backgrounds(const QVector<PictureFacts>& facts, QaSection& backgrounds, QaSection& beside) {
  for (const PictureFacts& f : facts) {
    if (f.picture.label_beside_only()) {
      add(beside,
          QStringLiteral("%1: the engine looks for %2")
              .arg(file_name(f.picture.studio_label), QDir::toNativeSeparators(f.picture.label)),
          f.picture.image);
    } else if (!f.label_exists) {
      add(backgrounds, file_name(f.picture.image), f.picture.image);
    }
  }
}

// Label files in the folders the pictures' labels live in that no picture leads to: the engine
// never reads them.
void find_unread_labels(const Dataset& dataset, QaSection& unread) {
  QSet<QString> claimed, folders;
  for (const DatasetPicture& p : dataset.pictures) {
    claimed << p.label << p.studio_label;
    folders << QFileInfo(p.label).absolutePath() << QFileInfo(p.studio_label).absolutePath();
  }
  static const QStringList not_labels = {"classes.txt", "obj.names", "train.txt", "val.txt", "test.txt", "valid.txt"};
  QStringList sorted(folders.cbegin(), folders.cend());
  sorted.sort();
  for (const QString& folder : sorted) {
    const QDir dir(folder);
    if (!dir.exists()) continue;
    for (const QString& name : dir.entryList({"*.txt"}, QDir::Files, QDir::Name)) {
      const QString path = dir.filePath(name);
      if (claimed.contains(path) || not_labels.contains(name.toLower()) || path == dataset.source) continue;
      unread.items << QDir::toNativeSeparators(QDir(dataset.source).relativeFilePath(path)) +
                          ": no picture of this name where the engine looks";
    }
  }
}

// Exact duplicates by content; near-duplicates by perceptual hash, as groups.
void find_duplicates(const QVector<PictureFacts>& facts, QaSection& exact, QaSection& near) {
  QHash<QByteArray, QVector<int>> by_content;
  for (int i = 0; i < facts.size(); ++i)
    if (!facts[i].content.isEmpty()) by_content[facts[i].content] << i;
  QSet<int> in_exact;
  QStringList exact_groups;
  for (auto it = by_content.cbegin(); it != by_content.cend(); ++it) {
    if (it.value().size() < 2) continue;
    QStringList names;
    for (int i : it.value()) {
      names << file_name(facts[i].picture.image);
      exact.images << facts[i].picture.image;
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
  for (int i = 0; i < facts.size(); ++i)
    if (facts[i].decoded && !in_exact.contains(i)) near_groups[root(i)] << facts[i].picture.image;
  for (const QStringList& group : near_groups) {
    if (group.size() < 2) continue;
    QStringList names;
    for (const QString& p : group) names << file_name(p);
    near.items << names.join(" ~ ");
    near.images << group;
  }
}

// Images sharing a label file: a.jpg and a.png both map to a.txt, here and in the engine.
void find_shared_labels(const QVector<PictureFacts>& facts, QaSection& shared) {
  QHash<QString, QStringList> by_label;
  for (const PictureFacts& f : facts) by_label[f.label] << f.picture.image;
  QStringList keys = by_label.keys();
  keys.sort();
  for (const QString& label : keys) {
    const QStringList& images = by_label[label];
    if (images.size() < 2) continue;
    QStringList names;
    for (const QString& p : images) names << file_name(p);
    shared.items << names.join(" + ") + " -> " + file_name(label);
    shared.images << images;
  }
}

// The same picture in another split: the engine would then validate on what it trained on.
bool find_leaks(const QVector<PictureFacts>& facts, const QStringList& other_images,
                const QVector<QByteArray>& other_keys, const QString& root_folder,
                const std::function<bool()>& cancelled, QaSection& leak) {
  if (other_images.isEmpty()) return true;
  const QVector<std::optional<PictureHash>> other_hashes =
      QtConcurrent::blockingMapped<QVector<std::optional<PictureHash>>>(
          &pixel_pool(), other_images, [&](const QString& path) -> std::optional<PictureHash> {
            return cancelled() ? std::nullopt : perceptual_hash(path);
          });
  if (cancelled()) return false;
  const QDir root(root_folder);
  for (const PictureFacts& f : facts) {
    for (int j = 0; j < other_images.size(); ++j) {
      const bool same = !other_keys[j].isEmpty() && other_keys[j] == f.content;
      if (!same && !(f.decoded && other_hashes[j] && alike(f.phash, *other_hashes[j]))) continue;
      add(leak,
          QStringLiteral("%1 %2 %3")
              .arg(file_name(f.picture.image), same ? "=" : "~", root.relativeFilePath(other_images[j])),
          f.picture.image);
      break;
    }
  }
  return true;
}

}  // namespace

QaFindings examine_dataset_quality(const Dataset& dataset, int imgsz, const std::atomic<bool>* cancel,
                                   const QStringList& other_split_pictures, const QString& other_root) {
  const std::function<bool()> cancelled = [cancel] { return cancel && cancel->load(); };
  const int class_count = checked_class_count(dataset.classes);
  QVector<PictureFacts> facts = QtConcurrent::blockingMapped<QVector<PictureFacts>>(
      &pixel_pool(), dataset.pictures, [&](const DatasetPicture& p) { return facts_of(p, class_count, cancelled); });
  if (cancelled()) return QaFindings{{}, 0, true};
  QStringList images = dataset.pictures_only();
  const QVector<QByteArray> keys = content_keys(images + other_split_pictures);
  for (int i = 0; i < facts.size(); ++i) facts[i].content = keys[i];

  LabelSections labels;
  labels.tiny = QaSection{QStringLiteral("Boxes under 2 px at the training size %1").arg(imgsz), {}, {}};
  find_label_findings(facts, class_count, imgsz, labels);
  QaSection unusable{"Images the engine cannot use", {}, {}};
  // The engine's own check: such a file is taken for corrupt and re-encoded in place (quality 100,
  // metadata and anything after the picture gone) the first time it trains on it.
  QaSection unended{"JPEG files the engine re-encodes in place when it trains (no end marker at the end)", {}, {}};
  find_image_problems(facts, unusable, unended);
  QaSection backgrounds{"Pictures without a label file, which the engine trains as backgrounds (no objects)", {}, {}};
  QaSection beside{
      "Labels beside pictures inside a folder named images/: the engine looks in ../labels/ instead and trains "
      "these pictures as backgrounds (move the label files there)",
      {},
      {}};
  find_backgrounds(facts, backgrounds, beside);
  QaSection unread{"Label files the engine never reads", {}, {}};
  find_unread_labels(dataset, unread);
  QaSection exact{"Exact duplicate images", {}, {}};
  QaSection near{"Near-duplicate images (resized or re-encoded copies)", {}, {}};
  find_duplicates(facts, exact, near);
  QaSection shared{"Images sharing one label file", {}, {}};
  find_shared_labels(facts, shared);
  QaSection leak{"Images also in another split of the dataset (validated on what was trained on)", {}, {}};
  if (!find_leaks(facts, other_split_pictures, keys.mid(facts.size()), other_root, cancelled, leak))
    return QaFindings{{}, 0, true};
  QaSection missing{"List entries naming no picture", dataset.missing, {}};
  QaSection undecodable{"Pictures skipped: their names are not valid UTF-8 (rename them)", dataset.undecodable, {}};

  QaFindings findings;
  findings.background = labels.background;
  for (QaSection* s :
       {&labels.rejected, &labels.trimmed, &labels.bad_lines, &labels.clipped, &labels.mixed, &labels.tiny, &unusable,
        &unended, &beside, &unread, &exact, &near, &shared, &leak, &backgrounds, &missing, &undecodable})
    if (!s->items.isEmpty()) findings.sections << *s;
  return findings;
}

QaFindings examine_dataset_quality(const QString& folder, const QStringList& class_names, int imgsz,
                                   const std::atomic<bool>* cancel) {
  const Expected<Dataset> opened = open_dataset(folder);
  Dataset dataset;
  if (opened) {
    dataset = *opened;
  } else {
    dataset.source = QDir(folder).absolutePath();
    dataset.undecodable = undecodable_image_notes(folder);
  }
  if (!class_names.isEmpty()) {
    dataset.classes.names = class_names;
    if (!dataset.classes.known()) dataset.classes.source = FolderClasses::Source::ClassesFile;
  }
  // The pictures of the dataset's other splits, when this folder is one of its manifest's splits.
  QStringList others;
  QString root;
  if (const std::optional<DatasetManifest> manifest = find_folder_manifest(folder)) {
    others = other_split_images(manifest->path, dataset.pictures_only());
    root = QFileInfo(manifest->path).absolutePath();
  }
  return examine_dataset_quality(dataset, imgsz, cancel, others, root);
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

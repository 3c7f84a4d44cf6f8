#include "core/dataset_reader.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <array>

#include "core/atomic_file.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/label_files.h"

namespace quorlan {

const QStringList& engine_image_formats() {
  static const QStringList formats = {"avif", "bmp", "dng", "heic", "heif", "jp2", "jpeg",
                                      "jpg",  "mpo", "png", "tif",  "tiff", "webp"};
  return formats;
}

QString engine_label_path(const QString& image_path) {
  static const QString images = QStringLiteral("/images/"), labels = QStringLiteral("/labels/");
  QString path = image_path;
  const qsizetype at = path.lastIndexOf(images);
  if (at >= 0) path.replace(at, images.size(), labels);
  const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
  return (dot >= 0 ? path.left(dot) : path) + QStringLiteral(".txt");
}

DatasetPicture picture_at(const QString& image_path) {
  return {image_path, engine_label_path(image_path), label_path_for(image_path), {}};
}

QString DatasetPicture::label_in_use() const {
  if (label == studio_label || is_regular_file(label)) return label;
  return is_regular_file(studio_label) ? studio_label : label;
}

bool DatasetPicture::label_beside_only() const {
  return label != studio_label && !QFileInfo::exists(label) && is_regular_file(studio_label);
}

QStringList Dataset::pictures_only() const {
  QStringList out;
  out.reserve(pictures.size());
  for (const DatasetPicture& p : pictures) out << p.image;
  return out;
}

namespace {

bool engine_picture_name(const QString& path) {
  const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
  return dot >= 0 && engine_image_formats().contains(path.mid(dot + 1).toLower());
}

// Every picture under `folder` as the engine's recursive glob "**/*.*" finds it: names that start
// with a dot (files and folders) are skipped, links are followed (each real folder once).
void walk(const QString& folder, QStringList& out, QSet<QString>& seen_folders) {
  const QString real = QFileInfo(folder).canonicalFilePath();
  if (real.isEmpty() || seen_folders.contains(real)) return;
  seen_folders.insert(real);
  QStringList subfolders;
  QDirIterator it(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
  while (it.hasNext()) {
    const QString path = it.next();
    const QFileInfo info = it.fileInfo();
    if (info.fileName().startsWith(QLatin1Char('.'))) continue;
    if (info.isDir())
      subfolders << path;
    else if (info.fileName().contains(QLatin1Char('.')) && engine_picture_name(path))
      out << path;
  }
  for (const QString& sub : subfolders) walk(sub, out, seen_folders);
}

QString utf8_sig_text(const QByteArray& bytes) {
  QString text = QString::fromUtf8(bytes);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  return text;
}

}  // namespace

QStringList engine_image_files(const QString& entry, const QString& base, QStringList* missing) {
  QStringList found;
  const QFileInfo info(entry);
  if (info.isDir()) {
    QSet<QString> seen;
    walk(QDir::cleanPath(info.absoluteFilePath()), found, seen);
  } else if (info.isFile()) {
    const Expected<QByteArray> loaded = read_regular_file(entry);
    if (!loaded) return {};
    const QDir list_dir = info.absoluteDir();
    for (QString line : utf8_sig_text(*loaded).trimmed().split(QRegularExpression(QStringLiteral("\r\n|\r|\n")))) {
      line = line.trimmed();
      if (line.isEmpty() || !engine_picture_name(line)) continue;
      // "./x" is the list's own folder's; another relative entry is taken from the dataset's root
      // (the engine takes it from the folder it runs in).
      QString path = line.startsWith(QLatin1String("./")) ? list_dir.filePath(line.mid(2)) : QDir(base).filePath(line);
      // Darknet lists (CVAT) name pictures from the folder above the list ("data/obj_train_data/x.jpg").
      if (!QFileInfo::exists(path) && line.startsWith(QLatin1String("data/"))) path = list_dir.filePath(line.mid(5));
      path = QDir::cleanPath(path);
      if (QFileInfo(path).isFile())
        found << path;
      else if (missing)
        *missing << line;
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

namespace {

// The studio's label file of each picture (label_path_for), its folder's answer kept per folder.
class StudioLabels {
 public:
  QString of(const QString& image) {
    const qsizetype slash = image.lastIndexOf(QLatin1Char('/'));
    const QString folder = image.left(slash);
    auto it = folders_.constFind(folder);
    if (it == folders_.cend()) it = folders_.insert(folder, label_folder_for(folder));
    return label_path_in(*it, image);
  }

 private:
  QHash<QString, QString> folders_;
};

void add_pictures(Dataset& dataset, const QStringList& images, const QString& split, StudioLabels& studio) {
  dataset.pictures.reserve(dataset.pictures.size() + images.size());
  for (const QString& image : images)
    dataset.pictures.append({image, engine_label_path(image), studio.of(image), split});
}

bool yaml_name(const QString& path) {
  return path.endsWith(QLatin1String(".yaml"), Qt::CaseInsensitive) ||
         path.endsWith(QLatin1String(".yml"), Qt::CaseInsensitive);
}

// The manifest of a dataset's top folder: data.yaml, data.yml or another YAML in it whose split
// entries exist.
std::optional<DatasetManifest> top_manifest(const QString& folder) {
  QStringList candidates{QStringLiteral("data.yaml"), QStringLiteral("data.yml")};
  for (const QString& name : QDir(folder).entryList({"*.yaml", "*.yml"}, QDir::Files, QDir::Name))
    if (!candidates.contains(name)) candidates << name;
  for (const QString& name : candidates) {
    const QString path = QDir(folder).filePath(name);
    if (!is_regular_file(path)) continue;
    std::optional<DatasetManifest> manifest = read_dataset_manifest(path);
    if (manifest && !manifest->split_entries.isEmpty()) return manifest;
  }
  return std::nullopt;
}

Dataset read_manifest_dataset(const DatasetManifest& manifest, const QString& source) {
  Dataset dataset;
  dataset.kind = Dataset::Kind::Manifest;
  dataset.source = source;
  dataset.manifest = manifest.path;
  if (manifest.names) {
    dataset.classes.names = *manifest.names;
    dataset.classes.blank_names = manifest.blank_names;
    dataset.classes.source = FolderClasses::Source::Manifest;
    dataset.classes.path = manifest.path;
  }
  StudioLabels studio;
  for (const auto& [split, targets] : manifest.split_entries) {
    dataset.splits << split;
    dataset.split_sources << targets;
    QStringList images;
    for (const QString& target : targets) images += engine_image_files(target, manifest.root, &dataset.missing);
    std::sort(images.begin(), images.end());
    add_pictures(dataset, images, split, studio);
  }
  return dataset;
}

}  // namespace

Expected<Dataset> open_dataset(const QString& path) {
  const QFileInfo info(path);
  const QString shown = QDir::toNativeSeparators(path);
  if (!info.exists()) return failure(QStringLiteral("%1 does not exist.").arg(shown));
  const QString absolute = QDir::cleanPath(info.absoluteFilePath());
  StudioLabels studio;
  if (info.isFile()) {
    if (yaml_name(absolute)) {
      const std::optional<DatasetManifest> manifest = read_dataset_manifest(absolute);
      if (!manifest) return failure(QStringLiteral("%1 cannot be read as a dataset's YAML file.").arg(shown));
      if (manifest->split_entries.isEmpty())
        return failure(QStringLiteral("%1 names no train, val or test folder or list that exists.").arg(shown));
      return read_manifest_dataset(*manifest, absolute);
    }
    if (absolute.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive)) {
      Dataset dataset;
      dataset.kind = Dataset::Kind::ListFile;
      dataset.source = absolute;
      const QString folder = info.absolutePath();
      add_pictures(dataset, engine_image_files(absolute, folder, &dataset.missing), QString(), studio);
      dataset.classes = load_folder_classes(folder);
      if (dataset.pictures.isEmpty())
        return failure(QStringLiteral("The list %1 names no picture that exists.").arg(shown));
      return dataset;
    }
    return failure(QStringLiteral("%1 is neither a folder, a dataset's YAML file nor a list of pictures.").arg(shown));
  }

  Dataset dataset;
  dataset.source = absolute;
  dataset.undecodable = undecodable_image_notes(absolute);
  // A folder with pictures of its own is read as the engine reads a split folder.
  const bool own_pictures = !list_folder_images(absolute).isEmpty();
  if (!own_pictures) {
    if (const std::optional<DatasetManifest> manifest = top_manifest(absolute)) {
      Dataset read = read_manifest_dataset(*manifest, absolute);
      if (!read.pictures.isEmpty()) return read;
    }
    // A dataset's top folder without a manifest (Label Studio's export): its images/.
    const QString images = QDir(absolute).filePath(QStringLiteral("images"));
    if (QFileInfo(images).isDir()) {
      dataset.kind = Dataset::Kind::TopFolder;
      add_pictures(dataset, engine_image_files(images, absolute), QString(), studio);
      dataset.classes = load_folder_classes(absolute);
      if (!dataset.pictures.isEmpty()) return dataset;
    }
  }
  dataset.kind = Dataset::Kind::Folder;
  dataset.pictures.clear();
  add_pictures(dataset, engine_image_files(absolute, absolute), QString(), studio);
  dataset.classes = load_folder_classes(absolute);
  if (dataset.pictures.isEmpty())
    return failure(QStringLiteral("%1 holds no pictures the engine reads (%2), in it or its subfolders, and no "
                                  "data.yaml naming split folders that hold some.")
                       .arg(shown, image_extensions().join(QStringLiteral(", "))) +
                   (dataset.undecodable.isEmpty()
                        ? QString()
                        : QStringLiteral(" Skipped: %1.").arg(dataset.undecodable.join(QStringLiteral("; ")))));
  return dataset;
}

namespace {

enum class Format { Unknown, Jpeg, Png, Bmp, Webp, Tiff, Gif };

Format sniff(const QByteArray& b) {
  if (b.startsWith("\xFF\xD8\xFF")) return Format::Jpeg;
  if (b.startsWith("\x89PNG\r\n\x1A\n")) return Format::Png;
  if (b.startsWith("BM")) return Format::Bmp;
  if (b.startsWith("RIFF") && b.mid(8, 4) == "WEBP") return Format::Webp;
  if (b.startsWith("II*") || b.startsWith(QByteArray("MM\0*", 4))) return Format::Tiff;
  if (b.startsWith("GIF8")) return Format::Gif;
  return Format::Unknown;
}

std::uint32_t crc32_of(const char* data, std::size_t size, std::uint32_t crc = 0xFFFFFFFFu) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::uint32_t big_endian(const QByteArray& b, qsizetype at) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

// What PIL's verify() finds wrong with a PNG: chunks cut short, a checksum that does not match,
// no end chunk. Empty when whole.
QString png_problem(const QByteArray& b) {
  qsizetype at = 8;
  while (true) {
    if (at + 8 > b.size()) return QStringLiteral("truncated PNG file");
    const std::uint32_t length = big_endian(b, at);
    const QByteArray type = b.mid(at + 4, 4);
    if (static_cast<qint64>(at) + 12 + length > b.size()) return QStringLiteral("truncated PNG file");
    const std::uint32_t crc = crc32_of(b.constData() + at + 4, 4 + length) ^ 0xFFFFFFFFu;
    if (crc != big_endian(b, at + 8 + length))
      return QStringLiteral("broken PNG file (bad header checksum in %1)").arg(QString::fromLatin1(type));
    if (type == "IEND") return {};
    at += 12 + length;
  }
}

// Whether a JPEG's picture data reaches its end marker: markers are walked to the first scan,
// each scan's data to the marker after it, until the end marker. A file cut anywhere before it
// is what PIL calls truncated; data after it (a phone's trailer) is not.
bool jpeg_reaches_end(const QByteArray& b) {
  const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(b[i]); };
  qsizetype at = 2;
  const qsizetype n = b.size();
  while (at < n) {
    if (byte(at) != 0xFF) {
      ++at;  // stray bytes between segments, skipped as decoders do
      continue;
    }
    while (at < n && byte(at) == 0xFF) ++at;
    if (at >= n) return false;
    const unsigned char marker = byte(at++);
    if (marker == 0xD9) return true;
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (at + 2 > n) return false;
    const qsizetype length = (byte(at) << 8) | byte(at + 1);
    at += length;
    if (marker != 0xDA) continue;
    // Entropy-coded data: FF 00 and restart markers belong to it; any other marker ends it.
    while (at + 1 < n && !(byte(at) == 0xFF && byte(at + 1) != 0x00 && byte(at + 1) != 0xFF &&
                           !(byte(at + 1) >= 0xD0 && byte(at + 1) <= 0xD7)))
      ++at;
    if (at + 1 >= n) return false;
  }
  return false;
}

}  // namespace

QString engine_image_problem(const QString& image_path, bool* reencoded, QSize* size) {
  if (reencoded) *reencoded = false;
  const Expected<QByteArray> loaded = read_regular_file(image_path);
  if (!loaded) return QStringLiteral("cannot be read: %1").arg(loaded.error());
  return engine_image_problem(*loaded, image_path, reencoded, size);
}

QString engine_image_problem(const QByteArray& bytes, const QString& image_path, bool* reencoded, QSize* size) {
  if (reencoded) *reencoded = false;
  if (bytes.isEmpty()) return QStringLiteral("an empty file");
  const Format format = sniff(bytes);
  QByteArray copy = bytes;
  QBuffer buffer(&copy);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  QSize found = reader.size();
  if (!found.isValid()) found = header_size(image_path);
  if (size) *size = found;
  if (!found.isValid() && format == Format::Unknown) return QStringLiteral("cannot identify image file");
  if (format == Format::Png) {
    if (const QString problem = png_problem(bytes); !problem.isEmpty()) return problem;
  }
  if (!found.isValid()) return QStringLiteral("cannot identify image file");
  if (found.width() < 10 || found.height() < 10)
    return QStringLiteral("image size (%1, %2) <10 pixels").arg(found.height()).arg(found.width());
  if (format == Format::Gif) return QStringLiteral("invalid image format GIF");
  if (format == Format::Jpeg && !bytes.endsWith("\xFF\xD9")) {
    if (!jpeg_reaches_end(bytes)) return QStringLiteral("image file is truncated");
    if (reencoded) *reencoded = true;
  }
  return {};
}

bool truncated_jpeg(const QString& image_path) {
  QFile file(image_path);
  if (!file.open(QIODevice::ReadOnly) || file.size() < 4) return false;
  if (file.read(3) != "\xFF\xD8\xFF" || !file.seek(file.size() - 2) || file.read(2) == "\xFF\xD9") return false;
  file.seek(0);
  return !jpeg_reaches_end(file.readAll());
}

PictureVerdict verdict_of_label_bytes(const QByteArray& bytes, int class_count) {
  PictureVerdict verdict;
  EngineLabelVerdict read = engine_label_verdict(bytes, class_count);
  switch (read.outcome) {
    case EngineLabelVerdict::Outcome::Rejected:
      verdict.outcome = PictureVerdict::Outcome::Rejected;
      verdict.reason = read.reason;
      return verdict;
    case EngineLabelVerdict::Outcome::Empty:
      verdict.outcome = PictureVerdict::Outcome::Empty;
      return verdict;
    case EngineLabelVerdict::Outcome::Accepted:
      break;
  }
  verdict.outcome = PictureVerdict::Outcome::Labelled;
  verdict.rows = std::move(read.kept);
  verdict.duplicates = read.duplicates;
  verdict.clipped = read.clipped;
  verdict.segments = read.segments;
  return verdict;
}

PictureVerdict read_picture(const DatasetPicture& picture, int class_count, bool check_image) {
  PictureVerdict verdict;
  if (check_image) {
    bool reencoded = false;
    const QString problem = engine_image_problem(picture.image, &reencoded);
    if (!problem.isEmpty()) {
      verdict.outcome = PictureVerdict::Outcome::Rejected;
      verdict.reason = problem;
      verdict.image_rejected = true;
      return verdict;
    }
    verdict.jpeg_reencoded = reencoded;
  }
  const QString label = picture.label_in_use();
  const FileStamp stamp = file_stamp(label);
  if (!stamp.exists) return verdict;  // a background to the engine
  const Expected<QByteArray> loaded = read_regular_file(label);
  if (!loaded) {
    verdict.outcome = PictureVerdict::Outcome::Rejected;
    verdict.reason = QStringLiteral("the label file cannot be read: %1").arg(loaded.error());
    verdict.unreadable_label = true;
    return verdict;
  }
  const bool reencoded = verdict.jpeg_reencoded;
  verdict = verdict_of_label_bytes(*loaded, class_count);
  verdict.jpeg_reencoded = reencoded;
  return verdict;
}

}  // namespace quorlan

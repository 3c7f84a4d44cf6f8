#include "dataset/split_export.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <set>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/atomic_file.h"
#include "core/dataset_reader.h"
#include "core/file_copy.h"
#include "core/label_files.h"
#include "dataset/dataset_qa.h"

namespace quorlan {

QStringList earlier_export_sets(const QString& destination) {
  QStringList found;
  for (const char* set : {"train", "val", "test"}) {
    const QDir images(QDir(destination).filePath(QStringLiteral("%1/images").arg(set)));
    if (images.exists() && !images.entryList(QDir::Files | QDir::Hidden).isEmpty()) found << QString::fromLatin1(set);
  }
  return found;
}

namespace {

bool matches(const QString& pattern, const QString& text) {
  return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

// Plain scalars that YAML 1.1 (the engine's reader) or 1.2 resolves to something other than
// the same string: null, booleans, numbers in any base or sexagesimal form, timestamps.
bool resolves_to_non_string(const QString& s) {
  static const QStringList words = {"~", "null", "y", "yes", "n", "no", "true", "false", "on", "off", "=", "<<"};
  if (words.contains(s.toLower())) return true;
  const char* patterns[] = {
      R"([-+]?(0b[01_]+|0o?[0-7_]+|0x[0-9a-fA-F_]+|[0-9][0-9_]*))",  // integers
      R"([-+]?[1-9][0-9_]*(:[0-5]?[0-9])+(\.[0-9_]*)?)",             // sexagesimal
      R"([-+]?([0-9][0-9_]*)?\.[0-9_]*([eE][-+]?[0-9]+)?)",          // floats
      R"([-+]?[0-9][0-9_]*(\.[0-9_]*)?[eE][-+]?[0-9]+)",             // 1e5
      R"([-+]?\.(inf|Inf|INF)|\.(nan|NaN|NAN))",                     // infinities, nan
      R"([0-9]{4}-[0-9]{1,2}-[0-9]{1,2}([Tt ].*)?)",                 // timestamps
  };
  for (const char* p : patterns)
    if (matches(QString::fromLatin1(p), s)) return true;
  return false;
}

// What YAML lets a document hold raw, by code point: C0 and C1 controls, line and paragraph
// separators, lone surrogates, U+FEFF, U+FFFE and U+FFFF need escapes (PyYAML refuses the
// whole file otherwise).
bool yaml_printable(char32_t u) {
  if (u < 0x20 || u == 0x7F || (u >= 0x80 && u <= 0x9F)) return false;
  if (u == 0x2028 || u == 0x2029 || u == 0xFEFF || u == 0xFFFE || u == 0xFFFF) return false;
  return !(u >= 0xD800 && u <= 0xDFFF) && u <= 0x10FFFF;
}

bool needs_quotes(const QString& s) {
  if (s.isEmpty() || s.front().isSpace() || s.back().isSpace()) return true;
  if (QStringLiteral("-?:,[]{}#&*!|>'\"%@`").contains(s.front())) return true;
  if (s.contains(QLatin1String(": ")) || s.contains(QLatin1String(" #")) || s.endsWith(':')) return true;
  for (const char32_t c : s.toUcs4())
    if (c == '"' || c == '\'' || c == '\\' || c == '\t' || !yaml_printable(c)) return true;
  return resolves_to_non_string(s);
}

}  // namespace

QString yaml_class_name(const QString& name) {
  if (!needs_quotes(name)) return name;
  QString out = QStringLiteral("\"");
  for (const char32_t c : name.toUcs4()) {
    if (c == '\\')
      out += QLatin1String("\\\\");
    else if (c == '"')
      out += QLatin1String("\\\"");
    else if (c == '\n')
      out += QLatin1String("\\n");
    else if (c == '\t')
      out += QLatin1String("\\t");
    else if (c == '\r')
      out += QLatin1String("\\r");
    else if (c < 0x100 && !yaml_printable(c))
      out += QStringLiteral("\\x%1").arg(static_cast<uint>(c), 2, 16, QLatin1Char('0'));
    else if (!yaml_printable(c))
      out += QStringLiteral("\\u%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0'));
    else
      out += QString::fromUcs4(&c, 1);
  }
  return out + QLatin1Char('"');
}

QString manifest_text(const QString& absolute_destination, const QStringList& classes) {
  QString path = absolute_destination;
  path.replace('\\', '/');
  QString text = QStringLiteral("path: ") + yaml_class_name(path) + QLatin1Char('\n');
  text += QStringLiteral("train: train/images\nval: val/images\ntest: test/images\n\nnames:\n");
  for (int i = 0; i < classes.size(); ++i) text += QStringLiteral("  %1: %2\n").arg(i).arg(yaml_class_name(classes[i]));
  return text;
}

namespace {

// A box row's line as written, its class as a whole number: the engine reads the same box from it.
// Empty when the row's tokens are not plain ASCII-separated (then its numbers are written anew).
QString box_row_as_written(const LabelRow& row) {
  const QStringList tokens =
      QString::fromUtf8(row.raw).split(QRegularExpression(QStringLiteral("[ \t\v\f]+")), Qt::SkipEmptyParts);
  if (tokens.size() != 5) return {};
  return QStringLiteral("%1 %2 %3 %4 %5\n").arg(row.class_id).arg(tokens[1], tokens[2], tokens[3], tokens[4]);
}

// The labels of a picture for the export, from the engine's reading of its label file: for
// detection each row's box (a box row as written, a segment row's bounding box with six decimals);
// for segmentation the file's bytes as they are. Counts the objects by kind into `result`.
Status export_label_file(const QString& from, const PictureVerdict& verdict, const QString& to, LabelFormat format,
                         ExportResult& result) {
  const int rows = static_cast<int>(
      std::count_if(verdict.rows.cbegin(), verdict.rows.cend(), [](const LabelRow& r) { return !r.duplicate; }));
  (verdict.segments ? result.polygons : result.boxes) += rows;
  for (const LabelRow& row : verdict.rows) result.largest_class = std::max(result.largest_class, row.class_id);
  if (format == LabelFormat::Segmentation) return copy_with_times(from, to);
  QString boxes;
  for (const LabelRow& row : verdict.rows) {
    const QString written = row.segment ? QString() : box_row_as_written(row);
    boxes += !written.isEmpty() ? written
                                : QStringLiteral("%1 %2 %3 %4 %5\n")
                                      .arg(row.class_id)
                                      .arg(fixed6(row.x), fixed6(row.y), fixed6(row.w), fixed6(row.h));
  }
  if (verdict.segments && rows > 0) result.converted << QFileInfo(from).fileName();
  return write_file_atomically(to, boxes.toUtf8(), /*sync=*/false);
}

}  // namespace

namespace {

struct FileId {
  quint64 device = 0, inode = 0;
  bool operator<(const FileId& o) const { return device != o.device ? device < o.device : inode < o.inode; }
};

std::optional<FileId> file_id(const QString& path) {
#ifdef Q_OS_UNIX
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
  return FileId{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
#else
  const QString canonical = QFileInfo(path).canonicalFilePath();
  if (canonical.isEmpty()) return std::nullopt;
  return FileId{0, qHash(canonical)};
#endif
}

}  // namespace

Status export_source_conflict(const QVector<ImageLabelPair>& pairs, const QString& destination) {
  const QDir root(destination);
  QStringList targets_dirs;
  for (const char* set : {"train", "val", "test"})
    for (const char* kind : {"images", "labels"})
      targets_dirs << resolved_folder(root.filePath(QStringLiteral("%1/%2").arg(set, kind)));
  std::set<FileId> sources;
  QSet<QString> source_folders;
  for (const ImageLabelPair& pair : pairs) {
    for (const QString& file : {pair.image, pair.label}) {
      if (const auto id = file_id(file)) sources.insert(*id);
      source_folders.insert(resolved_folder(QFileInfo(file).absolutePath()));
    }
  }
  for (const QString& source : source_folders)
    for (const QString& target : targets_dirs)
      if (is_inside(source, target))
        return failure(QStringLiteral("The destination folder %1 holds the source folder %2; exporting there would "
                                      "overwrite the images and labels being exported. Choose another destination.")
                           .arg(QDir::toNativeSeparators(target), QDir::toNativeSeparators(source)));
  for (const ImageLabelPair& pair : pairs) {
    for (const auto& [file, kind] : {std::pair{pair.image, "images"}, std::pair{pair.label, "labels"}}) {
      for (const char* set : {"train", "val", "test"}) {
        const QString target = root.filePath(QStringLiteral("%1/%2/%3").arg(set, kind, QFileInfo(file).fileName()));
        const auto id = file_id(target);
        if (id && sources.count(*id))
          return failure(QStringLiteral("%1 is a source of this export (the same file or a hard link to one); "
                                        "exporting there would overwrite it. Choose another destination.")
                             .arg(QDir::toNativeSeparators(target)));
      }
    }
  }
  return {};
}

int largest_class_id(const QVector<ImageLabelPair>& pairs) {
  int largest = -1;
  for (const ImageLabelPair& pair : pairs) {
    const Expected<QByteArray> loaded = read_regular_file(pair.label);
    if (!loaded) continue;
    for (const LabelRow& row : verdict_of_label_bytes(*loaded, 0).rows) largest = std::max(largest, row.class_id);
  }
  return largest;
}

namespace {

// The sets' files and data.yaml written under `root` (the staging folder), data.yaml naming
// `final_root` as the dataset's path. Stops at the first failure, or at a cancel (result.cancelled).
Status write_export(const QVector<ImageLabelPair>& pairs, const SplitCounts& counts, const QDir& root,
                    LabelFormat format, int class_count, const std::atomic<bool>* cancel, std::atomic<int>* done,
                    ExportResult& result) {
  const std::array<std::pair<const char*, int>, 3> sets = {
      {{"train", counts.train}, {"val", counts.val}, {"test", counts.test}}};
  int next = 0;
  SplitCounts& written = result.counts;
  for (const auto& [set, size] : sets) {
    const QString images_dir = root.filePath(QStringLiteral("%1/images").arg(set));
    const QString labels_dir = root.filePath(QStringLiteral("%1/labels").arg(set));
    for (const QString& dir : {images_dir, labels_dir}) {
      if (!QDir().mkpath(dir))
        return failure(QStringLiteral("Could not create the folder %1.").arg(QDir::toNativeSeparators(dir)));
    }
    for (int k = 0; k < size; ++k, ++next) {
      if (cancel && cancel->load()) {
        result.cancelled = true;
        return {};
      }
      if (done) ++*done;
      const ImageLabelPair& pair = pairs[next];
      // The engine's reading of the picture decides: one it drops is left out, named with its reason.
      const DatasetPicture picture{pair.image, pair.label, pair.label, QString()};
      const PictureVerdict verdict = read_picture(picture, class_count);
      if (verdict.unreadable_label) {
        // Not the engine's to judge: the file is there and cannot be read here.
        return failure(QStringLiteral("Could not read the labels of %1: %2")
                           .arg(QDir::toNativeSeparators(pair.label), verdict.reason));
      }
      if (!verdict.used()) {
        result.left_out << QStringLiteral("%1: %2").arg(
            QFileInfo(verdict.image_rejected ? pair.image : pair.label).fileName(), verdict.reason);
        continue;
      }
      const QString image_target = QDir(images_dir).filePath(QFileInfo(pair.image).fileName());
      const QString label_target = QDir(labels_dir).filePath(QFileInfo(pair.label).fileName());
      if (verdict.outcome != PictureVerdict::Outcome::Background) {
        if (const Status labels = export_label_file(pair.label, verdict, label_target, format, result); !labels)
          return failure(
              QStringLiteral("Could not write the labels of %1 to %2: %3")
                  .arg(QDir::toNativeSeparators(pair.label), QDir::toNativeSeparators(label_target), labels.error()));
      } else {
        ++result.backgrounds;
      }
      if (const Status copied = copy_with_times(pair.image, image_target); !copied)
        return failure(
            QStringLiteral("Could not copy %1 to %2: %3")
                .arg(QDir::toNativeSeparators(pair.image), QDir::toNativeSeparators(image_target), copied.error()));
      if (set == sets[0].first)
        ++written.train;
      else if (set == sets[1].first)
        ++written.val;
      else
        ++written.test;
    }
  }
  return {};
}

// data.yaml under `root`, naming `final_root` as the dataset's path.
Status write_manifest(const QDir& root, const QString& final_root, const QStringList& names) {
  const QString manifest = root.filePath("data.yaml");
  const Status saved = write_file_atomically(manifest, manifest_text(final_root, names).toUtf8());
  if (!saved)
    return failure(QStringLiteral("Could not write %1: %2").arg(QDir::toNativeSeparators(manifest), saved.error()));
  return {};
}

constexpr const char* kMoveMarker = ".moving-into-place";
const QStringList& export_entries() {
  static const QStringList entries = {"train", "val", "test", "data.yaml"};
  return entries;
}

// Moves the staged sets and data.yaml into `destination`, the earlier export's going into
// `staging` (removed with it) first. The staged entries are recorded in `staging` (and reach the
// disk) before the first rename, so that a move a crash cuts short is finished by
// recover_interrupted_export. On a failure what was moved goes back.
Status move_into_place(const QDir& staging, const QDir& destination) {
  QStringList staged;
  for (const QString& entry : export_entries())
    if (QFileInfo::exists(staging.filePath(entry))) staged << entry;
  if (const Status marked = write_file_atomically(staging.filePath(kMoveMarker), staged.join('\n').toUtf8()); !marked)
    return failure(
        QStringLiteral("Could not write into %1: %2").arg(QDir::toNativeSeparators(staging.path()), marked.error()));
  QStringList set_aside, placed;
  const auto undo = [&] {
    for (const QString& entry : placed) QDir().rename(destination.filePath(entry), staging.filePath(entry));
    for (const QString& entry : set_aside)
      QDir().rename(staging.filePath(".earlier-" + entry), destination.filePath(entry));
    QFile::remove(staging.filePath(kMoveMarker));
  };
  for (const QString& entry : export_entries()) {
    if (!QFileInfo::exists(destination.filePath(entry))) continue;
    crash_point("rename", destination.filePath(entry));
    if (!QDir().rename(destination.filePath(entry), staging.filePath(".earlier-" + entry))) {
      undo();
      return failure(QStringLiteral("The earlier export's %1 could not be replaced.")
                         .arg(QDir::toNativeSeparators(destination.filePath(entry))));
    }
    set_aside << entry;
  }
  for (const QString& entry : staged) {
    crash_point("rename", staging.filePath(entry));
    if (!QDir().rename(staging.filePath(entry), destination.filePath(entry))) {
      undo();
      return failure(QStringLiteral("%1 could not be moved into place.")
                         .arg(QDir::toNativeSeparators(destination.filePath(entry))));
    }
    placed << entry;
  }
  return {};
}

}  // namespace

QString recover_interrupted_export(const QString& destination) {
  const QDir dest(destination);
  int finished = 0, removed = 0;
  QStringList stuck;
  for (const QString& name :
       dest.entryList({QStringLiteral(".quorlan-export-*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
    const QDir staging(dest.filePath(name));
    const Expected<QByteArray> marker = read_regular_file(staging.filePath(kMoveMarker));
    if (marker) {
      // Cut short while moving in: the new export is finished. An entry still staged goes in,
      // whatever the destination holds under its name (the earlier export's) set aside first;
      // an entry the new export lacks must not stay from the earlier one.
      const QStringList staged = QString::fromUtf8(*marker).split('\n', Qt::SkipEmptyParts);
      bool whole = true;
      for (const QString& entry : export_entries()) {
        const bool pending = QFileInfo::exists(staging.filePath(entry));
        const bool earlier = QFileInfo::exists(dest.filePath(entry)) && (pending || !staged.contains(entry));
        if (earlier && !QFileInfo::exists(staging.filePath(".earlier-" + entry)))
          whole = QDir().rename(dest.filePath(entry), staging.filePath(".earlier-" + entry)) && whole;
        else if (earlier)
          whole = QDir(dest.filePath(entry)).removeRecursively() && whole;
        if (pending) whole = QDir().rename(staging.filePath(entry), dest.filePath(entry)) && whole;
      }
      if (!whole) {
        stuck << QDir::toNativeSeparators(staging.path());
        continue;
      }
      ++finished;
    } else {
      ++removed;  // cut short while writing: nothing of it reached the destination
    }
    if (!QDir(staging.path()).removeRecursively()) stuck << QDir::toNativeSeparators(staging.path());
  }
  QStringList said;
  if (finished > 0)
    said << QStringLiteral(
                "An export to %1 cut short while moving into place was finished: the folder holds the new "
                "export whole.")
                .arg(QDir::toNativeSeparators(destination));
  if (removed > 0)
    said << QStringLiteral("%1 unfinished export folder(s) left in %2 by an export that stopped were removed.")
                .arg(removed)
                .arg(QDir::toNativeSeparators(destination));
  if (!stuck.isEmpty())
    said << QStringLiteral("Could not finish or remove what an interrupted export left: %1.")
                .arg(stuck.join(QStringLiteral(", ")));
  return said.join(' ');
}

Expected<ExportResult> export_dataset(const QVector<ImageLabelPair>& pairs, const SplitCounts& counts,
                                      const QString& destination, LabelFormat format, const QStringList& classes,
                                      const std::atomic<bool>* cancel, bool replace_earlier, std::atomic<int>* done) {
  if (const Status conflict = export_source_conflict(pairs, destination); !conflict) return failure(conflict.error());
  const QStringList earlier = earlier_export_sets(destination);
  if (!earlier.isEmpty() && !replace_earlier)
    return failure(QStringLiteral("%1 already holds an export (%2).")
                       .arg(QDir::toNativeSeparators(destination), earlier.join(", ")));
  if (!QDir().mkpath(destination))
    return failure(QStringLiteral("Could not create the folder %1.").arg(QDir::toNativeSeparators(destination)));
  // Everything is written into a folder of its own beside the sets and moved in at the end: an
  // export that fails or is cancelled leaves the destination as it was.
  QTemporaryDir staging(QDir(destination).filePath(".quorlan-export-XXXXXX"));
  if (!staging.isValid())
    return failure(QStringLiteral("Could not write into %1: %2")
                       .arg(QDir::toNativeSeparators(destination), staging.errorString()));
  ExportResult result;
  result.format = format;
  // With class names, a label of an id beyond them makes the engine drop its picture, and so does
  // the export; without any, ids are not checked and data.yaml names each by its number.
  if (const Status written = write_export(pairs, counts, QDir(staging.path()), format, static_cast<int>(classes.size()),
                                          cancel, done, result);
      !written)
    return failure(written.error());
  if (result.cancelled) {
    result.counts = {};  // nothing was written
    return result;
  }
  QStringList names = classes;
  if (names.isEmpty() && result.largest_class >= 0) {
    result.unnamed_first = 0;
    result.unnamed_last = result.largest_class;
    for (int id = 0; id <= result.largest_class; ++id) names << QString::number(id);
  }
  if (names.isEmpty())
    return failure(
        QStringLiteral("The labels hold no class ids and the folder has no class names, so data.yaml "
                       "would name no class."));
  if (const Status manifest = write_manifest(QDir(staging.path()), QDir(destination).absolutePath(), names); !manifest)
    return failure(manifest.error());
  if (result.counts.train + result.counts.val + result.counts.test == 0)
    return failure(QStringLiteral("Every picture was left out; the engine could not use them: %1")
                       .arg(result.left_out.mid(0, 5).join(QStringLiteral(", "))));
  if (const Status moved = move_into_place(QDir(staging.path()), QDir(destination)); !moved)
    return failure(moved.error());
  return result;
}

QString export_summary_text(const QString& destination, const GroupedSplit& split, const ExportResult& result,
                            quint64 seed, const QStringList& classes) {
  const SplitCounts& counts = result.counts;  // what was written (a picture may have been left out)
  QString text = QStringLiteral("Exported dataset successfully to:\n") + destination;
  text += QStringLiteral("\n\ntrain: %1 images\nval: %2 images\ntest: %3 images")
              .arg(counts.train)
              .arg(counts.val)
              .arg(counts.test);
  if (counts.val == 0) text += QStringLiteral("\n\nWarning: the val set is empty; training needs validation images.");
  if (result.unnamed_first >= 0)
    text += result.unnamed_first == result.unnamed_last
                ? QStringLiteral("\n\nWarning: class id %1 has no name; data.yaml names it \"%1\".")
                      .arg(result.unnamed_first)
                : QStringLiteral("\n\nWarning: class ids %1 to %2 have no name; data.yaml names them by their number.")
                      .arg(result.unnamed_first)
                      .arg(result.unnamed_last);
  text += QStringLiteral("\n\nSeed: %1 (%2 groups: images made from one source, identical or alike stay in one set)")
              .arg(seed)
              .arg(split.groups);
  if (split.videos[0] + split.videos[1] + split.videos[2] > 0)
    text += QStringLiteral("\nVideos, each kept whole in one set: %1 in train, %2 in val, %3 in test")
                .arg(split.videos[0])
                .arg(split.videos[1])
                .arg(split.videos[2]);
  const QStringList per_set = set_class_counts(split, classes);
  text +=
      QStringLiteral("\ntrain objects: %1\nval objects: %2\ntest objects: %3").arg(per_set[0], per_set[1], per_set[2]);
  text += result.format == LabelFormat::Detection
              ? QStringLiteral("\n\nLabels (Detection): %1 box(es) kept, %2 polygon(s) written as their boxes")
                    .arg(result.boxes)
                    .arg(result.polygons)
              : QStringLiteral("\n\nLabels (Segmentation): %1 polygon(s), %2 box(es), copied as they are")
                    .arg(result.polygons)
                    .arg(result.boxes);
  const auto named = [](const QStringList& files) {
    return files.mid(0, 5).join(QStringLiteral(", ")) +
           (files.size() > 5 ? QStringLiteral(", ... and %1 more").arg(files.size() - 5) : QString());
  };
  if (!result.converted.isEmpty())
    text += QStringLiteral("\nPolygons written as their bounding boxes in %1 file(s): %2")
                .arg(result.converted.size())
                .arg(named(result.converted));
  if (result.backgrounds > 0)
    text += QStringLiteral("\n%1 picture(s) without a label file exported as backgrounds.").arg(result.backgrounds);
  else if (!result.unlabelled.isEmpty())
    text += QStringLiteral(
                "\nLeft out %1 picture(s) without a label file (not annotated; the engine would train "
                "them as backgrounds): %2")
                .arg(result.unlabelled.size())
                .arg(named(result.unlabelled));
  if (!result.left_out.isEmpty())
    text += QStringLiteral("\nLeft out %1 picture(s) the engine cannot use (it drops them too): %2")
                .arg(result.left_out.size())
                .arg(named(result.left_out));
  if (!result.mixed.isEmpty())
    text += QStringLiteral(
                "\nWarning: %1 file(s) mix box and polygon lines, which the engine does not train as "
                "they are: %2")
                .arg(result.mixed.size())
                .arg(named(result.mixed));
  return text;
}

QString export_error_text(const QString& reason) {
  // An export writes all of it or nothing.
  return QStringLiteral("The export stopped: %1\n\nNo file was written.").arg(reason);
}

}  // namespace quorlan

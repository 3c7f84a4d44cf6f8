// quorlan export, health, stats: the annotator's dataset buttons without a window.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include "cli/cli.h"
#include "core/class_names.h"
#include "core/image_files.h"
#include "dataset/class_counts.h"
#include "dataset/dataset_qa.h"
#include "dataset/health_check.h"
#include "dataset/split_export.h"

namespace quorlan::cli {
namespace {

// "70/20/10" as shares of one; nullopt unless three whole percentages that total 100.
std::optional<std::array<double, 3>> parse_split(const QString& text) {
  const QStringList parts = text.split('/');
  if (parts.size() != 3) return std::nullopt;
  std::array<int, 3> p{};
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    p[i] = parts[i].trimmed().toInt(&ok);
    if (!ok || p[i] < 0 || p[i] > 100) return std::nullopt;
  }
  if (p[0] + p[1] + p[2] != 100) return std::nullopt;
  return std::array<double, 3>{p[0] / 100.0, p[1] / 100.0, p[2] / 100.0};
}

int run_export(const QStringList& arguments) {
  Command c("export", "Split the annotated images of SRC into train/val/test under DST and write its data.yaml.",
            arguments);
  c.parser.addOptions({
      {"split", "Train/val/test percentages, totalling 100 (default 70/20/10).", "T/V/E", "70/20/10"},
      {"format", "Label format: det (boxes) or seg (lines as annotated) (default det, as the window's export).",
       "det|seg", "det"},
      {"seed", "Seed of the split; the same seed splits the same folder the same way (default 42).", "N", "42"},
      {"replace", "Replace an earlier export's train, val and test folders and data.yaml in DST."},
      {"backgrounds", "Export pictures without a label file too, as backgrounds (left out by default)."},
  });
  if (const int code = c.parse({"SRC", "DST"}); code >= 0) return code;
  const QString source = c.positional()[0], destination = c.positional()[1];
  const auto ratios = parse_split(c.value("split"));
  if (!ratios) return c.usage("--split takes three whole percentages that total 100, like 70/20/10.");
  const QString format_name = c.value("format").toLower();
  if (format_name != "seg" && format_name != "det") return c.usage("--format is seg or det.");
  bool ok = true;
  const int seed = c.int_value("seed", &ok, 0, 2147483647);
  if (!ok) return kUsage;
  if (!QFileInfo(source).isDir()) return c.fail("The folder " + QDir::toNativeSeparators(source) + " does not exist.");

  const QStringList images = list_folder_images(source);
  const QStringList classes = load_folder_classes(source).names;
  QStringList unlabelled;
  const QVector<ImageLabelPair> pairs = collect_annotated_pairs(images, c.parser.isSet("backgrounds"), &unlabelled);
  if (pairs.isEmpty()) return c.fail("No annotated files found to split.");
  if (!QDir().mkpath(destination))
    return c.fail("The folder " + QDir::toNativeSeparators(destination) + " cannot be created.");
  // An earlier export in the destination would mix its sets with the new ones (and leak).
  const QStringList earlier = earlier_export_sets(destination);
  if (!earlier.isEmpty()) {
    const Status conflict = export_source_conflict(pairs, destination);
    if (!conflict)
      return c.fail(QStringLiteral("The export stopped: %1\n\nNo file was written.").arg(conflict.error()));
    if (!c.parser.isSet("replace"))
      return c.fail(QStringLiteral("%1 already holds an export (%2). Its images would mix with the new split.\n\n"
                                   "Run again with --replace to replace its train, val and test folders.")
                        .arg(QDir::toNativeSeparators(destination), earlier.join(", ")));
  }
  const GroupedSplit split = plan_grouped_split(pairs, (*ratios)[0], (*ratios)[1], static_cast<quint64>(seed));
  ExportResult result = export_dataset(split.pairs, split.counts, destination,
                                       format_name == "det" ? LabelFormat::Detection : LabelFormat::Segmentation,
                                       classes, &stop_requested(), !earlier.isEmpty());
  result.unlabelled = unlabelled;
  result.left_out += undecodable_image_notes(source);
  QJsonObject json{{"destination", QDir(destination).absolutePath()},
                   {"data_yaml", QDir(destination).absoluteFilePath("data.yaml")},
                   {"train", result.counts.train},
                   {"val", result.counts.val},
                   {"test", result.counts.test},
                   {"seed", seed},
                   {"groups", split.groups}};
  if (result.cancelled)
    return c.fail(QStringLiteral("Interrupted: nothing was written to %1.").arg(QDir::toNativeSeparators(destination)),
                  json, kInterrupted);
  if (!result.error.isEmpty()) return c.fail(export_error_text(result, destination), json);
  return c.succeed(export_summary_text(destination, split, result, static_cast<quint64>(seed), classes), json);
}

QJsonArray strings(const QStringList& list) { return QJsonArray::fromStringList(list); }

struct FolderReport {
  QString text;
  QJsonObject json;
  bool clean = true;
};

std::optional<FolderReport> report_folder(const QString& folder, int imgsz) {
  const std::optional<HealthFindings> findings = examine_folder(folder);
  if (!findings) return std::nullopt;
  const QaFindings quality = examine_dataset_quality(folder, load_folder_classes(folder).names, imgsz);
  QJsonArray sections;
  for (const QaSection& section : quality.sections)
    sections.append(QJsonObject{{"title", section.title}, {"items", strings(section.items)}});
  QJsonArray overlaps;  // each file once, with its pairs
  for (int i = 0; i < findings->overlap_issues.size(); ++i)
    overlaps.append(QJsonObject{{"file", findings->overlap_issues[i]},
                                {"pairs", static_cast<double>(findings->overlap_file_pairs.value(i))}});
  FolderReport report;
  report.json = QJsonObject{{"folder", QDir(folder).absolutePath()},
                            {"unannotated", strings(findings->unannotated)},
                            {"orphaned", strings(findings->orphaned)},
                            {"overlap_issues", strings(findings->overlap_issues)},
                            {"overlaps", overlaps},
                            {"overlap_pairs", static_cast<double>(findings->overlap_pairs)},
                            {"background", quality.background},
                            {"sections", sections}};
  report.text = health_report_text(*findings) + qa_report_text(quality);
  report.clean = findings->unannotated.isEmpty() && findings->orphaned.isEmpty() &&
                 findings->overlap_issues.isEmpty() && quality.sections.isEmpty();
  return report;
}

int run_health(const QStringList& arguments) {
  Command c("health",
            "The dataset health report of an image folder, with what the engine would reject. SRC may also be a "
            "dataset's data.yaml, or its folder: each split folder it names is reported.",
            arguments);
  c.parser.addOptions({
      {"imgsz", "Training image size boxes are judged at (default 640).", "N", "640"},
      {"strict", "Exit with status 1 when the report has any finding."},
  });
  if (const int code = c.parse({"SRC"}); code >= 0) return code;
  bool ok = true;
  const int imgsz = c.int_value("imgsz", &ok, 32, 16384);
  if (!ok) return kUsage;
  const QString source = c.positional()[0];
  const QFileInfo info(source);
  if (!info.exists()) return c.fail("The folder " + QDir::toNativeSeparators(source) + " does not exist.");

  // An image folder is reported as it is; a dataset (its manifest, or a folder without pictures of
  // its own that has one) split by split.
  QStringList folders;
  QString manifest;
  if (info.isDir() && !list_folder_images(source).isEmpty()) {
    folders << source;
  } else {
    manifest = info.isDir() ? find_dataset_manifest(source) : source;
    if (!manifest.isEmpty()) folders = manifest_split_folders(manifest);
    if (folders.isEmpty())
      return c.fail(QStringLiteral("%1 holds no images, and no dataset manifest there names split folders that "
                                   "exist.")
                        .arg(QDir::toNativeSeparators(source)));
  }
  QStringList texts;
  QJsonArray splits;
  bool clean = true;
  // A relative `path` is the engine's working folder's business: say which folder training reads.
  QString path_note;
  if (const auto read = manifest.isEmpty() ? std::nullopt : read_dataset_manifest(manifest);
      read && !read->relative_root.isEmpty()) {
    const QString engine_root = QDir::cleanPath(QDir::current().absoluteFilePath(read->relative_root));
    if (QFileInfo(engine_root).canonicalFilePath() != QFileInfo(read->root).canonicalFilePath()) {
      path_note = QStringLiteral(
                      "Note: %1 says \"path: %2\". The engine takes that from the folder it runs in (here "
                      "%3), not from the manifest's folder, so training started here reads another "
                      "folder than the one checked below (%4). Run it from %4, or write an absolute path.")
                      .arg(QFileInfo(manifest).fileName(), read->relative_root, QDir::toNativeSeparators(engine_root),
                           QDir::toNativeSeparators(read->root));
      texts << path_note;
    }
  }
  for (const QString& folder : folders) {
    const std::optional<FolderReport> report = report_folder(folder, imgsz);
    if (!report) return c.fail("The folder " + QDir::toNativeSeparators(folder) + " cannot be read.");
    clean = clean && report->clean;
    splits.append(report->json);
    texts << (manifest.isEmpty()
                  ? report->text
                  : QStringLiteral("== %1 ==\n%2")
                        .arg(QDir::toNativeSeparators(QFileInfo(manifest).absoluteDir().relativeFilePath(folder)),
                             report->text));
  }
  QJsonObject json = manifest.isEmpty()
                         ? splits.first().toObject()
                         : QJsonObject{{"manifest", QFileInfo(manifest).absoluteFilePath()}, {"splits", splits}};
  if (!path_note.isEmpty()) json["path_note"] = path_note;
  const QString text = texts.join("\n");
  if (c.parser.isSet("strict") && !clean) {
    if (!c.json) Command::note(text);
    return c.fail("The dataset has findings (see the report).", json);
  }
  return c.succeed(text, json);
}

int run_stats(const QStringList& arguments) {
  Command c("stats",
            "Objects per class over the label files of an image folder or a dataset (its data.yaml), largest "
            "first.",
            arguments);
  if (const int code = c.parse({"SRC"}); code >= 0) return code;
  const QString folder = c.positional()[0];
  const QFileInfo info(folder);
  if (!info.exists()) return c.fail("The folder " + QDir::toNativeSeparators(folder) + " does not exist.");
  QStringList images = info.isDir() ? list_folder_images(folder) : QStringList();
  QStringList names = info.isDir() ? load_folder_classes(folder).names : QStringList();
  if (images.isEmpty()) {
    // A dataset: every split its manifest names, with the manifest's names.
    const std::optional<DatasetManifest> manifest =
        info.isDir() ? find_folder_manifest(folder) : read_dataset_manifest(folder);
    if (manifest) {
      for (const QString& split : manifest->split_folders) images += list_folder_images(split);
      names = manifest->names.value_or(QStringList());
    }
  }
  if (images.isEmpty())
    return c.fail("Load a dataset first: " + QDir::toNativeSeparators(folder) + " holds no images.");
  const ClassCounts counts = sorted_by_count(count_class_objects(images, names));
  QJsonArray classes;
  QStringList lines;
  for (const auto& [name, count] : counts) {
    classes.append(QJsonObject{{"name", name}, {"count", count}});
    lines << QStringLiteral("%1: %2").arg(name).arg(count);
  }
  const QJsonObject json{{"images", images.size()}, {"classes", classes}};
  return c.succeed(counts.isEmpty() ? QStringLiteral("No objects annotated yet.") : lines.join('\n'), json);
}

}  // namespace

QList<Entry> dataset_commands() {
  return {{"export", "split and export an annotated folder with its data.yaml", run_export},
          {"health", "the health report of a folder", run_health},
          {"stats", "objects per class", run_stats}};
}

}  // namespace quorlan::cli

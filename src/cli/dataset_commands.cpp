// quorlan export, health, stats: the annotator's dataset buttons without a window.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QSet>

#include "cli/cli.h"
#include "core/class_edit.h"
#include "core/class_names.h"
#include "core/dataset_reader.h"
#include "core/image_files.h"
#include "dataset/class_counts.h"
#include "dataset/dataset_qa.h"
#include "dataset/health_check.h"
#include "dataset/split_export.h"

namespace quorlan::cli {
namespace {

// The dataset at `source`, once any class change a crash cut short in its folders is rolled back.
Expected<Dataset> open_recovered_dataset(const QString& source) {
  bool recovered = recover_cut_short_change(source);
  Expected<Dataset> dataset = open_dataset(source);
  if (!dataset) return dataset;
  QSet<QString> folders;
  for (const DatasetPicture& p : dataset->pictures) folders.insert(QFileInfo(p.image).absolutePath());
  for (const QString& folder : folders)
    if (QFileInfo::exists(class_change_journal(folder))) recovered = recover_cut_short_change(folder) || recovered;
  return recovered ? open_dataset(source) : dataset;
}

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
  Command c("export",
            "Split the annotated images of SRC into train/val/test under DST and write its data.yaml. SRC may be an "
            "image folder, a dataset's data.yaml or its top folder (its splits are pooled and split anew).",
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
  const Expected<Dataset> dataset = open_recovered_dataset(source);
  if (!dataset) return c.fail(dataset.error());
  const QStringList classes = dataset->classes.names;
  QStringList unlabelled;
  const QVector<ImageLabelPair> pairs =
      collect_annotated_pairs(dataset->pictures, c.parser.isSet("backgrounds"), &unlabelled);
  if (pairs.isEmpty())
    return c.fail(QStringLiteral("No annotated files found to split: none of the %1 picture(s) of %2 has a label file "
                                 "where the engine looks (run again with --backgrounds to export them as backgrounds).")
                      .arg(dataset->pictures.size())
                      .arg(QDir::toNativeSeparators(source)));
  if (!QDir().mkpath(destination))
    return c.fail("The folder " + QDir::toNativeSeparators(destination) + " cannot be created.");
  // An earlier export in the destination would mix its sets with the new ones (and leak).
  if (const QString recovered = recover_interrupted_export(destination); !recovered.isEmpty()) c.note(recovered);
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
  const Expected<ExportResult> exported = export_dataset(
      split.pairs, split.counts, destination, format_name == "det" ? LabelFormat::Detection : LabelFormat::Segmentation,
      classes, &stop_requested(), !earlier.isEmpty());
  ExportResult result = exported ? *exported : ExportResult{};
  result.unlabelled = unlabelled;
  result.left_out += dataset->undecodable;
  QJsonObject json{{"destination", QDir(destination).absolutePath()},
                   {"data_yaml", QDir(destination).absoluteFilePath("data.yaml")},
                   {"train", result.counts.train},
                   {"val", result.counts.val},
                   {"test", result.counts.test},
                   {"seed", seed},
                   {"groups", split.groups}};
  if (!exported) return c.fail(export_error_text(exported.error()), json);
  if (result.cancelled)
    return c.fail(QStringLiteral("Interrupted: nothing was written to %1.").arg(QDir::toNativeSeparators(destination)),
                  json, kInterrupted);
  json["class_names_from"] = class_source_text(dataset->classes);
  return c.succeed(export_summary_text(destination, split, result, static_cast<quint64>(seed), classes) +
                       QStringLiteral("\nClass names: %1").arg(class_source_text(dataset->classes)),
                   json);
}

QJsonArray strings(const QStringList& list) { return QJsonArray::fromStringList(list); }

struct FolderReport {
  QString text;
  QJsonObject json;
  bool clean = true;
};

// The report of a folder (the health report of its own listing) or of a split's pictures, with the
// engine's findings on them below it.
FolderReport report_pictures(const Dataset& dataset, const HealthFindings* folder_findings, int imgsz,
                             const QStringList& other_split_pictures = {}, const QString& other_root = {}) {
  const HealthFindings from_pictures = folder_findings ? HealthFindings{} : examine_pictures(dataset.pictures);
  const HealthFindings* findings = folder_findings ? folder_findings : &from_pictures;
  const QaFindings quality = examine_dataset_quality(dataset, imgsz, nullptr, other_split_pictures, other_root);
  QJsonArray sections;
  for (const QaSection& section : quality.sections)
    sections.append(QJsonObject{{"title", section.title}, {"items", strings(section.items)}});
  QJsonArray overlaps;  // each file once, with its pairs
  for (int i = 0; i < findings->overlap_issues.size(); ++i)
    overlaps.append(QJsonObject{{"file", findings->overlap_issues[i]},
                                {"pairs", static_cast<double>(findings->overlap_file_pairs.value(i))}});
  FolderReport report;
  report.json = QJsonObject{{"folder", dataset.source},
                            {"class_names_from", class_source_text(dataset.classes)},
                            {"unannotated", strings(findings->unannotated)},
                            {"orphaned", strings(findings->orphaned)},
                            {"overlap_issues", strings(findings->overlap_issues)},
                            {"overlaps", overlaps},
                            {"overlap_pairs", static_cast<double>(findings->overlap_pairs)},
                            {"background", quality.background},
                            {"sections", sections}};
  report.text = health_report_text(*findings) + qa_report_text(quality) +
                QStringLiteral("\nClass names: %1\n").arg(class_source_text(dataset.classes));
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
  const Expected<Dataset> dataset = open_recovered_dataset(source);
  if (!dataset) return c.fail(dataset.error());

  // An image folder is reported as it is; a dataset (its manifest, or a top folder without pictures
  // of its own) split by split, each split's pictures as the engine lists them.
  const QString manifest = dataset->manifest;
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
  if (dataset->kind == Dataset::Kind::Manifest) {
    const QString root = QFileInfo(manifest).absolutePath();
    for (const QString& split : dataset->splits) {
      Dataset part = *dataset;
      part.pictures.clear();
      QStringList others;
      for (const DatasetPicture& picture : dataset->pictures)
        (picture.split == split ? static_cast<void>(part.pictures.append(picture))
                                : static_cast<void>(others << picture.image));
      part.missing.clear();
      const FolderReport report = report_pictures(part, nullptr, imgsz, others, root);
      clean = clean && report.clean;
      QJsonObject json = report.json;
      json["split"] = split;
      json["folder"] = dataset->split_sources.value(static_cast<int>(dataset->splits.indexOf(split))).value(0);
      splits.append(json);
      QStringList sources;
      for (const QString& entry : dataset->split_sources.value(static_cast<int>(dataset->splits.indexOf(split))))
        sources << QDir::toNativeSeparators(QDir(root).relativeFilePath(entry));
      texts << QStringLiteral("== %1 (%2) ==\n%3").arg(split, sources.join(QStringLiteral(", ")), report.text);
    }
    if (!dataset->missing.isEmpty()) {
      clean = false;
      texts << QStringLiteral("List entries naming no picture: %1\n  %2")
                   .arg(dataset->missing.size())
                   .arg(dataset->missing.mid(0, 5).join(QStringLiteral("\n  ")));
    }
  } else {
    // A folder's own listing gives the report its counts; a list file or top folder its pictures.
    std::optional<HealthFindings> own;
    if (dataset->kind == Dataset::Kind::Folder) {
      const Expected<HealthFindings> examined = examine_folder(dataset->source);
      if (!examined) return c.fail(examined.error());
      own = *examined;
      // Pictures in subfolders count too, as the engine finds them.
      const HealthFindings all = examine_pictures(dataset->pictures);
      for (const QString& name : all.unannotated)
        if (!own->unannotated.contains(name)) own->unannotated << name;
    }
    QStringList others;
    QString root;
    if (dataset->kind == Dataset::Kind::Folder)
      if (const std::optional<DatasetManifest> found = find_folder_manifest(dataset->source)) {
        others = other_split_images(found->path, dataset->pictures_only());
        root = QFileInfo(found->path).absolutePath();
      }
    const FolderReport report = report_pictures(*dataset, own ? &*own : nullptr, imgsz, others, root);
    clean = report.clean;
    splits.append(report.json);
    texts << report.text;
  }
  QJsonObject json = dataset->kind != Dataset::Kind::Manifest
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
            "Objects per class the engine trains on, over the label files of an image folder or a dataset (its "
            "data.yaml or top folder), largest first; by class id when the dataset has no class names.",
            arguments);
  if (const int code = c.parse({"SRC"}); code >= 0) return code;
  const Expected<Dataset> dataset = open_recovered_dataset(c.positional()[0]);
  if (!dataset) return c.fail(dataset.error());
  // A picture named in two splits counts once.
  QVector<DatasetPicture> pictures;
  QSet<QString> seen;
  for (const DatasetPicture& picture : dataset->pictures)
    if (!seen.contains(picture.image)) {
      seen.insert(picture.image);
      pictures.append(picture);
    }
  const ClassCounts counts = sorted_by_count(count_class_objects(pictures, dataset->classes.names));
  QJsonArray classes;
  QStringList lines;
  for (const auto& [name, count] : counts) {
    classes.append(QJsonObject{{"name", name}, {"count", count}});
    lines << QStringLiteral("%1: %2").arg(name).arg(count);
  }
  const QJsonObject json{{"images", static_cast<int>(pictures.size())},
                         {"classes", classes},
                         {"class_names_from", class_source_text(dataset->classes)}};
  return c.succeed(
      counts.isEmpty()
          ? QStringLiteral("No objects annotated yet.")
          : lines.join('\n') + (dataset->classes.known()
                                    ? QString()
                                    : QStringLiteral("\n\nClass names: %1").arg(class_source_text(dataset->classes))),
      json);
}

}  // namespace

QList<Entry> dataset_commands() {
  return {{"export", "split and export an annotated folder with its data.yaml", run_export},
          {"health", "the health report of a folder", run_health},
          {"stats", "objects per class", run_stats}};
}

}  // namespace quorlan::cli

#include "review/review_run.h"

#include <yaml-cpp/yaml.h>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QSet>
#include <algorithm>

#include "core/atomic_file.h"
#include "core/class_names.h"
#include "core/dataset_reader.h"
#include "core/file_copy.h"
#include "core/image_files.h"
#include "core/label_files.h"
#include "native_inference/model_metadata.h"
#include "predict/predicting_model.h"

namespace quorlan {

namespace {

// The picture's size as shown: upright by its EXIF orientation, as labels are drawn on it.
QSize upright_size(const QString& picture) {
  QImageReader reader(picture);
  reader.setAutoTransform(true);
  QSize size = reader.size();
  if (reader.transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
  return size;
}

}  // namespace

Expected<ReviewSource> review_source(const QString& folder_or_manifest) {
  ReviewSource source;
  source.path = folder_or_manifest;
  const QFileInfo info(folder_or_manifest);
  if (!info.exists()) return failure(QStringLiteral("%1 does not exist.").arg(folder_or_manifest));
  if (info.isDir() && !list_folder_images(folder_or_manifest).isEmpty()) {
    // A folder of pictures is reviewed as the annotator shows it.
    source.folders << QDir::cleanPath(info.absoluteFilePath());
    source.classes = load_folder_classes(folder_or_manifest).names;
    source.pictures = list_folder_images(folder_or_manifest);
    return source;
  }
  // A data.yaml, a dataset's top folder or a split of subfolders: its pictures as the engine finds them.
  const Expected<Dataset> dataset = open_dataset(folder_or_manifest);
  if (!dataset) return failure(dataset.error());
  source.classes = dataset->classes.names;
  QSet<QString> seen;  // a picture named in two splits is reviewed once
  for (const DatasetPicture& picture : dataset->pictures) {
    if (seen.contains(picture.image)) continue;
    seen.insert(picture.image);
    source.pictures << picture.image;
    const QString folder = QFileInfo(picture.image).absolutePath();
    if (!source.folders.contains(folder)) source.folders << folder;
  }
  return source;
}

Expected<ReviewLabels> review_labels(const QString& picture, int class_count, QSize size) {
  ReviewLabels read;
  const QString path = label_path_for(picture);
  if (!QFileInfo::exists(path)) return read;
  const Expected<QByteArray> bytes = read_regular_file(path);
  if (!bytes) return failure(bytes.error());
  // A file the engine refuses for its numbers trains nothing: its lines are not reviewed as labels.
  // (Ids beyond the names are the studio's to keep and the review's to name, line by line.)
  const PictureVerdict verdict = verdict_of_label_bytes(*bytes, 0);
  if (!verdict.used()) return failure(verdict.reason);
  const LabelReadResult parsed = parse_label_bytes(*bytes, class_count, size.width(), size.height());
  read.unreadable = static_cast<int>(std::count_if(parsed.kept.cbegin(), parsed.kept.cend(),
                                                   [](const QByteArray& line) { return !line.trimmed().isEmpty(); }));
  for (int row = 0; row < parsed.shapes.size(); ++row) {
    const LabelShape& shape = parsed.shapes[row];
    read.labels.append({row, shape.line, shape.class_id, shape.points.boundingRect()});
  }
  return read;
}

ReviewResult review_dataset(PredictingModel& model, const ReviewSource& source, double conf,
                            const std::atomic<bool>* cancel, std::atomic<int>* done,
                            const std::function<void(const QString& picture)>& on_picture) {
  ReviewResult result;
  const int class_count = source.classes.isEmpty() ? -1 : static_cast<int>(source.classes.size());
  // The model's classes: a label of another id is one it cannot judge.
  int model_classes = 0;
  const QHash<int, QString> model_names = model.names();
  for (auto it = model_names.cbegin(); it != model_names.cend(); ++it)
    model_classes = std::max(model_classes, it.key() + 1);
  QStringList reviewed_pictures, unreadable_lines, truncated, refused_files;
  QVector<ReviewedPicture> answers;
  int unknown = 0, dropped = 0;
  for (const QString& picture : source.pictures) {
    if (cancel && cancel->load()) {
      result.cancelled = true;
      break;
    }
    const QSize size = upright_size(picture);
    const Expected<Prediction> predicted =
        size.isValid() ? model.predict(picture, conf, 0, false) : Expected<Prediction>(failure("it cannot be read"));
    if (done) ++*done;
    if (on_picture) on_picture(picture);
    if (!predicted) {
      result.failures << QStringLiteral("%1: %2").arg(QFileInfo(picture).fileName(), predicted.error());
      continue;
    }
    dropped += predicted->dropped;
    if (truncated_jpeg(picture)) truncated << QFileInfo(picture).fileName();
    const Expected<ReviewLabels> read = review_labels(picture, class_count, size);
    if (!read) {
      refused_files << QStringLiteral("%1 (%2)").arg(QFileInfo(label_path_for(picture)).fileName(), read.error());
      continue;
    }
    QVector<ReviewLabel> labels = read->labels;
    if (read->unreadable > 0)
      unreadable_lines << QStringLiteral("%1 (%2)").arg(QFileInfo(picture).fileName()).arg(read->unreadable);
    result.labels += static_cast<int>(labels.size());
    if (model_classes > 0) {
      const auto beyond = [&](const ReviewLabel& l) { return l.cls >= model_classes; };
      unknown += static_cast<int>(std::count_if(labels.cbegin(), labels.cend(), beyond));
      labels.erase(std::remove_if(labels.begin(), labels.end(), beyond), labels.end());
    }
    reviewed_pictures << picture;
    answers.append({labels, *predicted});
    ++result.pictures;
  }
  // The model measured on these very labels first; its word then scored on that scale.
  result.model_check = check_model(answers);
  const ReviewCalibration calibration = calibrate(answers);
  for (int i = 0; i < answers.size(); ++i)
    result.findings += review_picture(reviewed_pictures[i], answers[i].labels, answers[i].prediction, {}, calibration);
  rank_findings(result.findings);
  // A note on the pictures or files of `names` (its first five named): `text` takes their count
  // and the names.
  const auto note = [&](const QStringList& names, const char* text) {
    if (names.isEmpty()) return;
    result.notes << QString::fromUtf8(text)
                        .arg(names.size())
                        .arg(
                            names.mid(0, 5).join(QStringLiteral(", ")) +
                            (names.size() > 5 ? QStringLiteral(", ... and %1 more").arg(names.size() - 5) : QString()));
  };
  if (unknown > 0)
    result.notes << QStringLiteral("%1 label(s) of classes the model does not know (id %2 or more) were not reviewed.")
                        .arg(unknown)
                        .arg(model_classes);
  if (dropped > 0) result.notes << dropped_text(dropped);
  note(refused_files,
       "%1 label file(s) the engine refuses (it trains nothing from their pictures) were not reviewed; fix them "
       "first: %2");
  note(unreadable_lines, "Label lines that could not be read were not reviewed, in %1 file(s): %2");
  note(truncated, "%1 truncated picture(s), which the engine drops, were reviewed as far as they could be decoded: %2");
  return result;
}

namespace {

// The data.yaml a model was trained on and the file that says so: what the weights record of
// themselves (a checkpoint's training arguments, an export's description), so that a copy of the
// model says it too; else the run's args.yaml above the weights. A relative name is taken from the
// folders the training may have run in: the run's ancestors, then the current folder.
std::pair<QString, QString> training_data_of(const QString& weights) {
  const QFileInfo info(weights);
  QString data;
  if (info.isFile()) {
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("pt")) {
      data = read_checkpoint_training_data(weights);
    } else if (suffix == QLatin1String("onnx")) {
      if (const Expected<ModelMetadata> m = read_onnx_metadata(weights)) data = m->trained_on;
    } else if (suffix == QLatin1String("xml")) {
      if (const Expected<ModelMetadata> m = read_ir_metadata(info.dir().filePath("metadata.yaml")))
        data = m->trained_on;
    }
  }
  QString said_by = weights;
  if (data.isEmpty()) {
    // <run>/weights/best.pt, an export beside it, or an IR folder in weights/: the run's args.yaml.
    QDir dir = info.absoluteDir();
    for (int up = 0; up < 3 && said_by == weights; ++up) {
      if (QFileInfo(dir.filePath("args.yaml")).isFile()) said_by = dir.filePath("args.yaml");
      if (!dir.cdUp()) break;
    }
    if (said_by == weights) return {};
    try {
      const YAML::Node root = YAML::LoadFile(said_by.toStdString());
      if (root.IsMap() && root["data"] && root["data"].IsScalar())
        data = QString::fromStdString(root["data"].as<std::string>());
    } catch (const YAML::Exception&) {
      return {};
    }
  }
  if (data.isEmpty() || QDir::isAbsolutePath(data)) return {data, said_by};
  QDir dir = info.absoluteDir();
  for (int up = 0; up < 5; ++up) {
    if (QFileInfo(dir.filePath(data)).isFile()) return {dir.filePath(data), said_by};
    if (!dir.cdUp()) break;
  }
  return {QFileInfo(data).absoluteFilePath(), said_by};
}

}  // namespace

QString trained_on_these_pictures(const QString& weights, const QStringList& folders) {
  const std::pair<QString, QString> found = training_data_of(weights);
  const QString data = found.first, said_by = found.second;
  const std::optional<DatasetManifest> manifest = data.isEmpty() ? std::nullopt : read_dataset_manifest(data);
  if (!manifest) return {};
  const auto warning = [&](const QString& trained) {
    return QStringLiteral(
               "The model was trained on these pictures (%1 names %2, whose train split is %3). A model agrees "
               "with the labels it learned, so their mistakes hide from it. For an honest review, use a model "
               "that did not train on them (one trained on the other splits), or cross-check: train two models "
               "on halves and review each half with the other half's model.")
        .arg(QDir::toNativeSeparators(said_by), QDir::toNativeSeparators(data), QDir::toNativeSeparators(trained));
  };
  // Copies count too (a dataset exported from the folder): the same names with the same sizes.
  QSet<QString> trained_pictures;
  for (const QString& trained : manifest->train_folders)
    for (const QFileInfo& picture : QDir(trained).entryInfoList(QDir::Files))
      trained_pictures.insert(picture.fileName() + '/' + QString::number(picture.size()));
  // Each reviewed folder on its own: a data.yaml's val split is honest ground even when its train
  // split is not.
  QStringList learned;
  for (const QString& folder : folders) {
    int reviewed = 0, seen = 0;
    for (const QFileInfo& picture : QDir(folder).entryInfoList(QDir::Files)) {
      if (!is_image_name(picture.fileName())) continue;
      ++reviewed;
      seen += trained_pictures.contains(picture.fileName() + '/' + QString::number(picture.size()));
    }
    bool inside = false;
    for (const QString& trained : manifest->train_folders) {
      const QString t = resolved_folder(trained), f = resolved_folder(folder);
      inside = inside || is_inside(f, t) || is_inside(t, f);
    }
    if (inside || (reviewed > 0 && seen * 2 >= reviewed)) learned << folder;
  }
  if (learned.isEmpty()) return {};
  if (learned.size() == folders.size()) return warning(manifest->train_folders.value(0));
  QStringList shown;
  for (const QString& folder : learned) shown << QDir::toNativeSeparators(folder);
  return warning(manifest->train_folders.value(0)) +
         QStringLiteral(" Of the folders reviewed, that holds for %1 only; the findings in the others are honest.")
             .arg(shown.join(QStringLiteral(", ")));
}

}  // namespace quorlan

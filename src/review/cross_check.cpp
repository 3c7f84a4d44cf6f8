#include "review/cross_check.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

#include "core/atomic_file.h"
#include "core/file_copy.h"
#include "core/label_files.h"
#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "predict/predicting_model.h"

namespace quorlan {

namespace {

QString yaml_text(const QString& text) {
  QString quoted = text;
  quoted.replace('\\', QLatin1String("\\\\")).replace('"', QLatin1String("\\\""));
  return '"' + quoted + '"';
}

}  // namespace

Expected<CrossCheckPlan> prepare_cross_check(const ReviewSource& source, const QString& work) {
  if (source.classes.isEmpty())
    return failure(
        QStringLiteral("The folder names no classes (classes.txt or a data.yaml): the models could not "
                       "name what they learn."));
  if (source.pictures.size() < 4) return failure(QStringLiteral("A cross-check needs at least four pictures."));
  const QString root = QDir(work).absolutePath();
  for (const QString& folder : source.folders)
    if (is_inside(resolved_folder(root), resolved_folder(folder)))
      return failure(QStringLiteral("The cross-check's work folder %1 is inside the reviewed folder; choose another.")
                         .arg(QDir::toNativeSeparators(root)));
  CrossCheckPlan plan;
  for (int i = 0; i < source.pictures.size(); ++i) plan.pictures[i % 2] << source.pictures[i];
  const char* halves[2] = {"half_a", "half_b"};
  QString names;
  for (int id = 0; id < source.classes.size(); ++id)
    names += QStringLiteral("  %1: %2\n").arg(id).arg(yaml_text(source.classes[id]));
  for (int h = 0; h < 2; ++h) {
    const QDir half(QDir(root).filePath(halves[h]));
    if (half.exists() && !QDir(half).removeRecursively())
      return failure(QStringLiteral("%1 cannot be emptied.").arg(QDir::toNativeSeparators(half.path())));
    if (!QDir().mkpath(half.filePath("images")) || !QDir().mkpath(half.filePath("labels")))
      return failure(QStringLiteral("%1 cannot be made.").arg(QDir::toNativeSeparators(half.path())));
    for (int i = 0; i < plan.pictures[h].size(); ++i) {
      // Numbered copies: two splits may hold pictures of one name.
      const QString original = plan.pictures[h][i];
      const QString stem =
          QStringLiteral("%1_%2").arg(i, 6, 10, QChar('0')).arg(QFileInfo(original).completeBaseName());
      const QString copy = half.filePath("images/" + stem + '.' + QFileInfo(original).suffix());
      if (const Status copied = copy_with_times(original, copy); !copied) return failure(copied.error());
      const QString label = label_path_for(original);
      if (QFileInfo(label).isFile())
        if (const Status copied = copy_with_times(label, half.filePath("labels/" + stem + ".txt")); !copied)
          return failure(copied.error());
    }
    plan.data_yaml[h] = QDir(root).filePath(QStringLiteral("%1.yaml").arg(halves[h]));
    const QString text = QStringLiteral("path: %1\ntrain: %2/images\nval: %3/images\nnames:\n%4")
                             .arg(yaml_text(root), halves[h], halves[1 - h], names);
    if (const Status written = write_file_atomically(plan.data_yaml[h], text.toUtf8()); !written)
      return failure(written.error());
  }
  return plan;
}

Expected<std::array<QString, 2>> train_cross_check(const CrossCheckPlan& plan, const CrossCheckSettings& settings,
                                                   const std::atomic<bool>* stop,
                                                   const std::function<void(int, int, int)>& on_epoch,
                                                   const std::function<void(const QString&)>& console) {
  std::array<QString, 2> weights;
  const char* names[2] = {"model_a", "model_b"};
  for (int h = 0; h < 2; ++h) {
    const QJsonObject params{{"model_path", settings.model},
                             {"data_yaml", plan.data_yaml[h]},
                             {"project", QDir(settings.work).absoluteFilePath("runs")},
                             {"name", names[h]},
                             {"epochs", settings.epochs},
                             {"imgsz", settings.imgsz},
                             {"batch", 16},
                             {"workers", 0},
                             {"optimizer", "auto"},
                             {"lr0", 0.01},
                             {"lrf", 0.01},
                             {"close_mosaic", 10},
                             {"device", resolved_device(settings.device)}};
    EngineRun engine;
    const Expected<EngineRun::Training> trained = engine.train(
        params,
        [&](const QString& line) {
          if (console) console(line);
        },
        [&](const EngineRun::TrainStep& step) {
          if (on_epoch && step.kind == EngineRun::TrainStep::Kind::Epoch) on_epoch(h, step.epoch, step.epochs);
        },
        [&] {
          if (stop && stop->load()) engine.cancel();
        });
    if (!trained) return failure("Training failed: " + trained.error());
    const EngineRun::Training& training = *trained;
    if (training.stopped || training.cancelled) return failure(QStringLiteral("Cross-check stopped."));
    const QString run = training.finished["save_dir"].toString(
        QDir(settings.work).absoluteFilePath(QStringLiteral("runs/") + names[h]));
    weights[h] = QDir(run).filePath("weights/best.pt");
    if (!QFileInfo(weights[h]).isFile()) weights[h] = QDir(run).filePath("weights/last.pt");
    if (!QFileInfo(weights[h]).isFile()) return failure(QStringLiteral("The run %1 left no weights.").arg(run));
  }
  return weights;
}

ReviewResult review_cross_check(const CrossCheckPlan& plan, const std::array<QString, 2>& weights,
                                const ReviewSource& source, double conf, const std::atomic<bool>* cancel,
                                std::atomic<int>* done) {
  ReviewResult all;
  for (int h = 0; h < 2; ++h) {
    const Expected<std::shared_ptr<PredictingModel>> model =
        load_predicting_model(QStringLiteral("cross-check"), weights[1 - h]);
    if (!model) {
      all.failures << QStringLiteral("%1: %2").arg(QFileInfo(weights[1 - h]).fileName(), model.error());
      continue;
    }
    ReviewSource half = source;
    half.pictures = plan.pictures[h];
    const ReviewResult part = review_dataset(**model, half, conf, cancel, done);
    // Each half's model measured on the half it reviews; the whole is the two together.
    all.notes << QStringLiteral("Half %1, reviewed by the model of half %2: %3")
                     .arg(h + 1)
                     .arg(2 - h)
                     .arg(model_check_text(part.model_check));
    all.notes += part.notes;
    all.model_check.labels += part.model_check.labels;
    all.model_check.found += part.model_check.found;
    all.model_check.map50 += part.model_check.map50 / 2;
    for (auto it = part.model_check.per_class.cbegin(); it != part.model_check.per_class.cend(); ++it) {
      all.model_check.per_class[it.key()].first += it.value().first;
      all.model_check.per_class[it.key()].second += it.value().second;
    }
    all.findings += part.findings;
    all.pictures += part.pictures;
    all.labels += part.labels;
    all.failures += part.failures;
    all.cancelled = all.cancelled || part.cancelled;
  }
  rank_findings(all.findings);
  return all;
}

}  // namespace quorlan

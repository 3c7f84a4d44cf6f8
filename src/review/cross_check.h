#pragma once
// The honest review of a folder no model has seen: its pictures split in two halves, a model
// trained on each half through the engine (like any training, with progress and Stop), and each
// half reviewed by the model of the other. The training sets are copies in a work folder of the
// studio's own: the engine never writes into the user's folder (its caches, its re-encoded JPEGs).
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <functional>

#include "core/expected.h"
#include "review/review_run.h"

namespace quorlan {

struct CrossCheckSettings {
  QString model = QStringLiteral("yolov8n.pt");  // what each half's training starts from
  int epochs = 30;
  int imgsz = 640;
  QString device = QStringLiteral("auto");  // "auto": a CUDA device when the engine has one
  QString work;  // the folder of the copies and the two runs (not inside the reviewed folder)
};

// The two halves of `source` (every other picture, in order), copied with their labels into
// work/half_a and work/half_b as the engine lays a dataset out, each with a data.yaml that trains
// on it and validates on the other.
struct CrossCheckPlan {
  std::array<QStringList, 2> pictures;  // the originals of each half
  std::array<QString, 2> data_yaml;
};
Expected<CrossCheckPlan> prepare_cross_check(const ReviewSource& source, const QString& work);

// Trains the two models one after the other; `on_epoch(half, epoch, epochs)` hears of each epoch,
// `console` of the engine's lines. A raised `stop` ends the run in progress (nothing is reviewed).
// The weights of each half's model, or why there are none.
Expected<std::array<QString, 2>> train_cross_check(const CrossCheckPlan& plan, const CrossCheckSettings& settings,
                                                   const std::atomic<bool>* stop,
                                                   const std::function<void(int, int, int)>& on_epoch,
                                                   const std::function<void(const QString&)>& console = {});

// Each half reviewed by the other half's model (loaded for the engine), the findings ranked.
ReviewResult review_cross_check(const CrossCheckPlan& plan, const std::array<QString, 2>& weights,
                                const ReviewSource& source, double conf, const std::atomic<bool>* cancel,
                                std::atomic<int>* done);

}  // namespace quorlan

#pragma once
// Pure pieces of the training side: progress and ETA texts, the result plots of a run folder,
// and the tuner's result file.
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <optional>

#include "core/expected.h"

namespace quorlan {

// ep / tot x 100 in real arithmetic, truncated.
int progress_percent(int ep, int tot);
// Whole seconds as a UTC time of day "HH:MM:SS" (a day or more wraps).
QString eta_text(double seconds);
// "Epoch 3/100 (3%) | ETA: 00:12:34" for epoch `ep` of `tot` after `elapsed` seconds.
QString epoch_status_text(int ep, int tot, double elapsed);

// The file-name patterns of each result view, in the order they are tried.
struct PlotPatterns {
  const char* view;
  QStringList patterns;
};
const QVector<PlotPatterns>& result_plot_patterns();

// The first file in `run_dir` matching the first matching pattern (shell wildcards, no
// descent into subfolders); empty when none matches.
QString find_result_plot(const QString& run_dir, const QStringList& patterns);

// The newest file called `name` at any depth below `root`, by creation time (status-change
// time where the file system keeps none); on a tie the first found. Empty when there is none.
QString newest_file_named(const QString& root, const QString& name);

// A YAML mapping read into name -> value; nullopt with *error set when the file cannot be
// read or is not a mapping.
Expected<QVariantMap> read_yaml_mapping(const QString& path);

}  // namespace quorlan

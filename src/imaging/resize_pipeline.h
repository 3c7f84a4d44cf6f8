#pragma once
// One file of the resizer on libvips: open, resample (Lanczos-3), rotate, re-encode with the
// DPI, optionally under a size cap, written once.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

#include "imaging/resize_plan.h"

namespace quorlan {

// Prepares libvips once per process; safe to call from any thread.
void ensure_vips();

// `output_path` replaces the planned name when given (the batch plans names for all files).
// The file written, or why there is none (named by the source's file name).
Expected<QString> resize_one(const QString& source, const QString& output_dir, const ResizeSettings& settings,
                             const QString& output_path = {});

struct BatchResult {
  int written = 0;
  QStringList errors;          // "file: reason" per failed file, in queue order
  int labelled = 0;            // outputs that got a label file
  int skipped = 0;             // files not started because the batch was cancelled
  QStringList label_problems;  // labels not carried whole: "file: reason"
};

// Resizes every file of `queue` into `output_dir` on all cores and blocks until done. With
// `settings.write_labels` each output gets its source's labels beside it (and the output folder
// the class names). Each file
// gets its own output name (see plan_output_paths); a failure is that file's alone. `on_file_done(count)` is called
// (from worker threads) after each file, and each failure is printed as a "Resizer Error: " line on standard output
// (unless `print_errors` is false: the command line reports them in its result, its standard output kept for it). A
// raised `cancel` lets the files under way finish and starts no other (counted in `skipped`).
BatchResult run_resize_batch(const QStringList& queue, const QString& output_dir, const ResizeSettings& settings,
                             const std::function<void(int)>& on_file_done = {},
                             const std::atomic<bool>* cancel = nullptr, bool print_errors = true);

// Sets (or adds) the JFIF density of a JPEG stream to `dpi` dots per inch on both axes.
QByteArray with_jfif_density(const QByteArray& jpeg, double dpi);

}  // namespace quorlan

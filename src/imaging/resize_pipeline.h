#pragma once
// One file of the resizer on libvips: open, resample (Lanczos-3), rotate, re-encode with the
// DPI, optionally under a size cap, written once.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

#include "imaging/resize_plan.h"

namespace quorlan {

struct ResizeOutcome {
  QString output;  // the written file
  QString error;   // empty on success
};

// Prepares libvips once per process; safe to call from any thread.
void ensure_vips();

ResizeOutcome resize_one(const QString& source, const QString& output_dir, const ResizeSettings& settings);

struct BatchResult {
  int written = 0;
  QStringList errors;  // one text per failed file, in the order they failed
};

// Resizes every file of `queue` into `output_dir` on all cores and blocks until done. Files
// that write the same output run in queue order, so the files written are those a sequential
// run writes. `on_file_done(count)` is called (from worker threads) after each file, and each
// failure is printed as a "Resizer Error: " line on standard output.
BatchResult run_resize_batch(const QStringList& queue, const QString& output_dir, const ResizeSettings& settings,
                             const std::function<void(int)>& on_file_done = {});

// Sets (or adds) the JFIF density of a JPEG stream to `dpi` dots per inch on both axes.
QByteArray with_jfif_density(const QByteArray& jpeg, double dpi);

}  // namespace quorlan

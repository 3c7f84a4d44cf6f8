#pragma once
// One file of the resizer on libvips: open, resample (Lanczos-3), rotate, re-encode with the
// DPI, optionally under a size cap, written once.
#include <QByteArray>
#include <QString>

#include "imaging/resize_plan.h"

namespace quorlan {

struct ResizeOutcome {
  QString output;  // the written file
  QString error;   // empty on success
};

// Prepares libvips once per process; safe to call from any thread.
void ensure_vips();

// "JPEG", "PNG", "WEBP", "BMP", ... as detected from the file's contents; empty when unknown.
QString detect_image_format(const QString& path);

ResizeOutcome resize_one(const QString& source, const QString& output_dir, const ResizeSettings& settings);

// Sets (or adds) the JFIF density of a JPEG stream to `dpi` dots per inch on both axes.
QByteArray with_jfif_density(const QByteArray& jpeg, double dpi);

}  // namespace quorlan

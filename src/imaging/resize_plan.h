#pragma once
// The resizer's arithmetic: pixel conversion, target dimensions, output names and the quality
// search. No pixels are touched here.
#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

#include "core/expected.h"

namespace quorlan {

// A real number with surrounding blanks allowed; nullopt for anything else (also inf and nan).
// The DPI a resize writes when none is given, and the check every DPI given passes.
inline constexpr double kDefaultDpi = 300.0;
Status check_target_dpi(double dpi);
std::optional<double> parse_real(const QString& text);

// Ties-to-even rounding to an integer.
long long round_half_even(double v);

// The pixel count of a size text in `unit` at `dpi`: nullopt for an empty text; a failure for a
// text that is not a number.
Expected<std::optional<long long>> to_px(const QString& text, const QString& unit, double dpi);

struct ResizeSettings {
  bool enable_dim = true;
  bool lock_aspect = true;
  QString width_text;
  QString height_text;
  QString unit = QStringLiteral("px");
  double dpi = 300;
  bool enable_comp = false;
  double target_kb = 500;
  QString format = QStringLiteral("Match Original");  // or "JPEG", "PNG", "WEBP"
  int rotation = 0;                                   // 0, 90, 180, 270 (clockwise)
  bool write_labels = false;                          // each output gets its source's YOLO labels (turned with it)
};

struct TargetSize {
  long long width = 0;
  long long height = 0;
};

// The size the source is resampled to (the source size when resizing is off); a failure when a
// size text is not a number or the result is not a positive size.
Expected<TargetSize> target_dimensions(int orig_w, int orig_h, const ResizeSettings& s);

// The size after rotation: 90 and 270 swap the sides.
TargetSize rotated(TargetSize t, int rotation);

struct OutputChoice {
  QString path;
  QString encoder;  // "JPEG", "PNG", "WEBP", "BMP", ...
};

// photo.jpg -> <dir>/photo_scaled.jpg; "Match Original" keeps the source extension and the
// detected format ("JPEG" when none was detected).
OutputChoice output_choice(const QString& source, const QString& output_dir, const QString& format_entry,
                           const QString& detected_format);

// Binary search on quality 5..95 for the largest quality whose encoding fits `limit_bytes`;
// quality 5 when none does. Encodes in memory; returns the chosen quality and its bytes.
// The output path of every queued file, planned before anything is written: a name that is one of
// the batch's sources, or that an earlier file of the batch takes, gets a counter
// (c_scaled_2.jpeg), so no source is overwritten and no output of the batch is lost.
QStringList plan_output_paths(const QStringList& queue, const QString& output_dir, const QString& format_entry);

std::pair<int, QByteArray> search_quality(const std::function<QByteArray(int)>& encode, double limit_bytes);

// "Predicted Output: 1181x886 px | 300 DPI | Orig: 245.3 KB"
QString preview_line(TargetSize t, double dpi, qint64 source_bytes);

// The pictures of `folder` the resizer takes (.jpg .jpeg .png .webp .bmp, any case); with
// `recursive` also those of its subfolders, top-down, never through a linked folder (a link back
// up would list the same files again and again).
QStringList list_resizer_folder(const QString& folder, bool recursive);
// Appends the files of `found` not in `queue` yet; a file reached twice (a link to a file of the
// queue) is added once.
void add_unique_files(QStringList& queue, const QStringList& found);

}  // namespace quorlan

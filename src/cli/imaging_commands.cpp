// quorlan resize, tile, augment: the image tools without a window, from the same code.
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QtConcurrent>
#include <mutex>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "cli/cli.h"
#include "core/class_names.h"
#include "core/image_files.h"
#include "core/image_reader.h"
#include "core/label_geometry.h"
#include "core/work_pool.h"
#include "imaging/augment.h"
#include "imaging/resize_pipeline.h"
#include "imaging/resize_plan.h"
#include "imaging/tile_plan.h"
#include "imaging/tile_split.h"

namespace quorlan::cli {
namespace {

// --labels / --no-labels: with neither, labels are carried when the inputs have label files.
void add_label_options(Command& c) {
  c.parser.addOptions({{"labels", "Write YOLO labels for the outputs (the default when the inputs have label files)."},
                       {"no-labels", "Write pictures only."}});
}

bool wants_labels(const Command& c, const QStringList& inputs) {
  if (c.parser.isSet("no-labels")) return false;
  return c.parser.isSet("labels") || any_label_file(inputs);
}

int run_resize(const QStringList& arguments) {
  Command c("resize", "Resize, re-encode and turn pictures (files or folders) into OUT, as the resizer tab does.",
            arguments);
  c.parser.addOptions({
      {"width", "Target width in --unit (empty: from the height and the aspect).", "W"},
      {"height", "Target height in --unit (empty: from the width and the aspect).", "H"},
      {"unit", "px, in, cm, mm or pt (default px).", "UNIT", "px"},
      {"dpi", "Target DPI, also written into the file (default 300).", "DPI", "300"},
      {"no-resize", "Keep the size (re-encode, turn, set the DPI only)."},
      {"no-aspect", "Do not lock the aspect ratio when both sides are given."},
      {"max-kb", "Largest output file size in KB (JPEG and WEBP quality is searched for it).", "KB"},
      {"format", "original, jpeg, png, webp or tiff (default original).", "FORMAT", "original"},
      {"rotate", "0, 90, 180 or 270 degrees clockwise (default 0).", "DEG", "0"},
      {"recursive", "Include the pictures of subfolders of a folder given."},
  });
  add_label_options(c);
  if (const int code = c.parse({"INPUT...", "OUT"}); code >= 0) return code;
  if (c.positional().size() < 2) return c.usage("Give at least one input and the output folder.");
  QStringList inputs = c.positional();
  const QString out = inputs.takeLast();

  ResizeSettings s;
  s.enable_dim = !c.parser.isSet("no-resize");
  s.lock_aspect = !c.parser.isSet("no-aspect");
  s.width_text = c.value("width").trimmed();
  s.height_text = c.value("height").trimmed();
  s.unit = c.value("unit").trimmed().toLower();
  if (!QStringList{"px", "in", "cm", "mm", "pt"}.contains(s.unit)) return c.usage("--unit is px, in, cm, mm or pt.");
  bool ok = true;
  s.dpi = c.real_value("dpi", &ok);
  if (!ok) return kUsage;
  if (const Status dpi = check_target_dpi(s.dpi); !dpi) return c.usage(dpi.error());
  if (c.parser.isSet("max-kb")) {
    s.enable_comp = true;
    s.target_kb = c.real_value("max-kb", &ok);
    if (!ok) return kUsage;
  }
  for (const auto& [field, text] : {std::pair{"--width", s.width_text}, std::pair{"--height", s.height_text}}) {
    bool number = false;
    if (!text.isEmpty()) text.toDouble(&number);
    if (!text.isEmpty() && !number) return c.usage(QStringLiteral("%1 takes a number.").arg(field));
  }
  const QString format = c.value("format").trimmed().toLower();
  const QHash<QString, QString> formats = {{"original", "Match Original"},
                                           {"jpeg", "JPEG"},
                                           {"jpg", "JPEG"},
                                           {"png", "PNG"},
                                           {"webp", "WEBP"},
                                           {"tiff", "TIFF"},
                                           {"tif", "TIFF"}};
  if (!formats.contains(format)) return c.usage("--format is original, jpeg, png, webp or tiff.");
  s.format = formats.value(format);
  s.rotation = c.int_value("rotate", &ok, 0, 270);
  if (!ok) return kUsage;
  if (s.rotation % 90 != 0) return c.usage("--rotate is 0, 90, 180 or 270.");

  QStringList queue;
  for (const QString& input : inputs) {
    if (QFileInfo(input).isDir())
      add_unique_files(queue, list_resizer_folder(input, c.parser.isSet("recursive")));
    else if (QFileInfo(input).isFile())
      add_unique_files(queue, {input});
    else
      return c.fail(QStringLiteral("%1 does not exist.").arg(QDir::toNativeSeparators(input)));
  }
  QStringList skipped_names;
  for (const QString& input : inputs)
    if (QFileInfo(input).isDir()) skipped_names += undecodable_image_notes(input);
  if (queue.isEmpty())
    return c.fail("No pictures to resize." + (skipped_names.isEmpty() ? QString() : "\n" + skipped_names.join('\n')));
  if (!QDir().mkpath(out)) return c.fail("The output folder " + QDir::toNativeSeparators(out) + " cannot be created.");
  s.write_labels = wants_labels(c, queue);
  std::mutex mutex;
  const BatchResult result = run_resize_batch(
      queue, out, s,
      [&](int finished) {
        const std::lock_guard<std::mutex> lock(mutex);
        c.progress(finished, static_cast<int>(queue.size()), QString());
      },
      &stop_requested(), /*print_errors=*/false);  // reported in the result: standard output is the JSON's
  BatchResult reported = result;
  reported.errors += skipped_names;  // pictures no tool can open by name are failures, named
  QString text = QStringLiteral("Batch process finished. Exported %1 images.").arg(result.written);
  if (!reported.errors.isEmpty())
    text += QStringLiteral("\n%1 image(s) failed:\n").arg(reported.errors.size()) + reported.errors.join('\n');
  if (s.write_labels) text += QStringLiteral("\n%1 output(s) got label files.").arg(result.labelled);
  if (!result.label_problems.isEmpty())
    text += QStringLiteral("\n%1 label file(s) were not carried whole:\n").arg(result.label_problems.size()) +
            result.label_problems.join('\n');
  const QJsonObject json{{"written", result.written},
                         {"failed", QJsonArray::fromStringList(reported.errors)},
                         {"labelled", result.labelled},
                         {"label_problems", QJsonArray::fromStringList(result.label_problems)},
                         {"skipped", result.skipped}};
  if (stop_requested().load())
    return c.fail(text + QStringLiteral("\nInterrupted: %1 picture(s) were not started.").arg(result.skipped), json,
                  kInterrupted);
  if (!reported.errors.isEmpty()) return c.fail(text, json);
  return c.succeed(text, json);
}

int run_tile(const QStringList& arguments) {
  Command c("tile", "Cut every picture of a folder into a grid of tiles, as the splitter tab does.", arguments);
  c.parser.addOptions({
      {"parts", "Number of tile parts (default 4).", "N", "4"},
      {"grid", "Rows x columns, like 2x2 (default: the first layout the tab offers for --parts).", "RxC"},
      {"no-subfolders", "Write every tile into OUT itself, not into part_<k>/ folders."},
      {"min-visible", "Keep objects at least N% visible in a tile (default 25).", "N", "25"},
  });
  add_label_options(c);
  if (const int code = c.parse({"SRC", "OUT"}); code >= 0) return code;
  bool ok = true;
  const int n = c.int_value("parts", &ok, 1, 100);
  const int min_visible = ok ? c.int_value("min-visible", &ok, 1, 100) : 0;
  if (!ok) return kUsage;
  std::pair<int, int> grid;
  if (c.parser.isSet("grid")) {
    const QStringList rc = c.value("grid").toLower().split('x');
    bool r_ok = false, c_ok = false;
    grid = {rc.value(0).trimmed().toInt(&r_ok), rc.value(1).trimmed().toInt(&c_ok)};
    if (rc.size() != 2 || !r_ok || !c_ok || grid.first * grid.second != n)
      return c.usage(QStringLiteral("--grid is rows x columns whose product is --parts (%1), like %2.")
                         .arg(n)
                         .arg(grid_modes(n).value(0).replace(" Rows x ", "x").remove(" Cols")));
  } else {
    grid = *parse_grid_mode(grid_modes(n).value(0));
  }
  const QString in = c.positional()[0], out = c.positional()[1];
  if (!QFileInfo(in).isDir()) return c.fail("Specify valid Input and Output directories.");
  recover_cut_short_change(in);
  const QStringList files = list_split_images(in);
  if (files.isEmpty()) return c.fail("No images found in input folder.");
  if (!QDir().mkpath(out)) return c.fail("The output folder " + QDir::toNativeSeparators(out) + " cannot be created.");
  LabelCarry carry;
  carry.enabled = wants_labels(c, files);
  carry.min_visible = min_visible / 100.0;
  const bool subfolders = !c.parser.isSet("no-subfolders");
  SplitOutcome total;
  total.files = static_cast<int>(files.size());
  total.unreadable = undecodable_image_notes(in);  // named as skipped, never silently
  std::mutex mutex;
  int done = 0;
  cv::setNumThreads(1);  // parallel across pictures, as the tab runs
  QtConcurrent::blockingMap(&pixel_pool(), files, [&](const QString& file) {
    if (stop_requested().load()) return;
    const SplitOutcome one = split_batch_picture(in, file, out, grid.first, grid.second, n, subfolders, carry);
    const std::lock_guard<std::mutex> lock(mutex);
    total.add(one);
    c.progress(++done, total.files, QFileInfo(file).fileName());
  });
  total.cancelled = stop_requested().load();
  if (total.label_folders.size() > 0) write_class_names(in, total.label_folders, &total.failed);
  const QJsonObject json{{"images", total.files - static_cast<int>(total.unreadable.size())},
                         {"tiles", total.tiles},
                         {"labelled_tiles", total.labelled_tiles},
                         {"objects_cut", total.objects_cut},
                         {"unreadable", QJsonArray::fromStringList(total.unreadable)},
                         {"failed", QJsonArray::fromStringList(total.failed)},
                         {"label_problems", QJsonArray::fromStringList(total.label_problems)}};
  const QString text = split_summary(total);
  if (total.cancelled) return c.fail(text, json, kInterrupted);
  // A picture or a label file that could not be read is a failure too: its tiles would pass for backgrounds.
  if (!total.failed.isEmpty() || !total.unreadable.isEmpty() || !total.label_problems.isEmpty())
    return c.fail(text, json);
  return c.succeed(text, json);
}

// "-30:30" as a range; nullopt when not two numbers with min <= max.
std::optional<std::pair<double, double>> parse_range(const QString& text) {
  const int colon = text.indexOf(':', 1);  // a leading minus is not the separator
  if (colon < 0) return std::nullopt;
  bool a_ok = false, b_ok = false;
  const double a = text.left(colon).trimmed().toDouble(&a_ok), b = text.mid(colon + 1).trimmed().toDouble(&b_ok);
  if (!a_ok || !b_ok || !std::isfinite(a) || !std::isfinite(b) || a > b) return std::nullopt;
  return std::pair{a, b};
}

int run_augment(const QStringList& arguments) {
  Command c("augment", "Write random variants of each picture given (files or folders), as the enricher does.",
            arguments);
  c.parser.addOptions({
      {"count", "Variants per source (default 10).", "N", "10"},
      {"brightness", "Brightness offset range (default -30:30).", "MIN:MAX", "-30:30"},
      {"contrast", "Contrast factor range (default 0.8:1.2).", "MIN:MAX", "0.8:1.2"},
      {"rotation", "Rotation range in degrees (default -15:15).", "MIN:MAX", "-15:15"},
      {"gamma", "Lighting (gamma) range (default 0.8:1.2).", "MIN:MAX", "0.8:1.2"},
      {"warp", "Perspective jitter range in percent (default 0:5).", "MIN:MAX", "0:5"},
  });
  add_label_options(c);
  if (const int code = c.parse({"INPUT...", "OUT"}); code >= 0) return code;
  if (c.positional().size() < 2) return c.usage("Give at least one input and the output folder.");
  bool ok = true;
  const int count = c.int_value("count", &ok, 1, 1000);
  if (!ok) return kUsage;
  AugmentRanges r;
  for (const auto& [option, low, high] :
       {std::tuple{"brightness", &r.b_min, &r.b_max}, std::tuple{"contrast", &r.c_min, &r.c_max},
        std::tuple{"rotation", &r.r_min, &r.r_max}, std::tuple{"gamma", &r.l_min, &r.l_max},
        std::tuple{"warp", &r.w_min, &r.w_max}}) {
    const auto range = parse_range(c.value(option));
    if (!range) return c.usage(QStringLiteral("--%1 takes MIN:MAX with MIN <= MAX, like %2.").arg(option, "-15:15"));
    *low = range->first;
    *high = range->second;
  }
  if (r.l_min <= 0) return c.usage("--gamma must stay above 0.");
  QStringList inputs = c.positional();
  const QString out = inputs.takeLast();
  QStringList sources;
  for (const QString& input : inputs) {
    if (QFileInfo(input).isDir())
      sources += list_folder_images(input);
    else if (QFileInfo(input).isFile())
      sources << input;
    else
      return c.fail(QStringLiteral("%1 does not exist.").arg(QDir::toNativeSeparators(input)));
  }
  if (sources.isEmpty()) return c.fail("No pictures to enrich.");
  if (!QDir().mkpath(out)) return c.fail("The output folder " + QDir::toNativeSeparators(out) + " cannot be created.");
  const bool labels = wants_labels(c, sources);
  int written = 0, labelled = 0;
  QStringList failed, unreadable;
  std::mutex mutex;
  const qint64 stamp = QDateTime::currentSecsSinceEpoch();
  cv::setNumThreads(1);
  for (int s = 0; s < sources.size() && !stop_requested().load(); ++s) {
    const QString& source = sources[s];
    const Expected<cv::Mat> picture = read_image_bgr(source);
    if (!picture) {
      unreadable << QStringLiteral("%1 (%2)").arg(QFileInfo(source).fileName(), picture.error());
      continue;
    }
    const cv::Mat& base = *picture;
    VariantLabels carried;
    const Expected<SourceLabels> read =
        labels ? read_source_labels(source, QSize(base.cols, base.rows)) : Expected<SourceLabels>(SourceLabels{});
    const bool carry = labels && read && read->found;
    if (read) {
      carried.shapes = read->shapes;
      carried.source_empty = read->found && read->shapes.isEmpty() && read->unreadable == 0;
    }
    const QStringList names = plan_variant_names(source, stamp, count, out);
    QtConcurrent::blockingMap(&pixel_pool(), names, [&](const QString& name) {
      if (stop_requested().load()) return;
      const Expected<VariantWritten> variant =
          write_labelled_variant(base, r, QDir(out).filePath(name), carry ? &carried : nullptr);
      const std::lock_guard<std::mutex> lock(mutex);
      if (!variant) {
        failed << variant.error();
        return;
      }
      ++written;
      if (variant->labelled) ++labelled;
      if (!variant->labels) failed << variant->labels.error();
    });
    c.progress(s + 1, static_cast<int>(sources.size()), QFileInfo(source).fileName());
  }
  if (labelled > 0) write_class_names(QFileInfo(sources.first()).absolutePath(), {QDir(out).absolutePath()}, &failed);
  QString text = QStringLiteral("Enrichment complete! Saved %1 variant(s) of %2 source(s).")
                     .arg(written)
                     .arg(sources.size() - unreadable.size());
  if (labels) text += QStringLiteral("\n%1 variant(s) got label files.").arg(labelled);
  if (!unreadable.isEmpty()) text += "\nCould not read: " + unreadable.join(", ");
  if (!failed.isEmpty()) text += "\nCould not write: " + failed.join(", ");
  const QJsonObject json{{"written", written},
                         {"labelled", labelled},
                         {"unreadable", QJsonArray::fromStringList(unreadable)},
                         {"failed", QJsonArray::fromStringList(failed)}};
  if (stop_requested().load()) return c.fail(text + "\nInterrupted.", json, kInterrupted);
  if (!failed.isEmpty() || !unreadable.isEmpty()) return c.fail(text, json);
  return c.succeed(text, json);
}

}  // namespace

QList<Entry> imaging_commands() {
  return {{"resize", "resize, re-encode and turn pictures", run_resize},
          {"tile", "cut pictures into tiles", run_tile},
          {"augment", "write random variants of pictures", run_augment}};
}

}  // namespace quorlan::cli

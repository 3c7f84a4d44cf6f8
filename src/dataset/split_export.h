#pragma once
// Export of an annotated folder into a train/val/test dataset with its data.yaml.
#include <QString>
#include <QStringList>
#include <QVector>
#include <array>
#include <atomic>
#include <random>

#include "core/dataset_reader.h"
#include "core/expected.h"

namespace quorlan {

struct ImageLabelPair {
  QString image;
  QString label;
};

enum class LabelFormat { Detection, Segmentation };

struct SplitCounts {
  int train = 0;
  int val = 0;
  int test = 0;
};

// n_train = n * r_train and n_val = n * r_val truncated toward zero; test takes the rest.
SplitCounts plan_split(int n, double r_train, double r_val);

// (image, label) for every picture whose label file exists, in order, its label the one in use
// (the engine's, else one the studio keeps beside it); a picture named twice (in two splits) once.
// With `backgrounds` the pictures without one too (exported without a label file: backgrounds to
// the engine), and `unlabelled`, when given, receives those without.
QVector<ImageLabelPair> collect_annotated_pairs(const QVector<DatasetPicture>& pictures, bool backgrounds = false,
                                                QStringList* unlabelled = nullptr);
// The same for a list of pictures, each with the label file the engine and the studio find for it.
QVector<ImageLabelPair> collect_annotated_pairs(const QStringList& image_paths, bool backgrounds = false,
                                                QStringList* unlabelled = nullptr);

// A uniform shuffle from a generator seeded anew on every call.
void shuffle_pairs(QVector<ImageLabelPair>& pairs);

// The source picture a file of the studio's own tools was made from, by its name: tiles
// ("x_part_03"), enricher variants ("x_warped_enriched_<time>_var_2") and resized copies
// ("x_scaled", "x_scaled_2") all give "x"; any other name gives its own stem.
QString source_stem(const QString& image_path);

// The video a frame came from, by its name: the studio's own frames ("<video>_000120", the index
// padded to six digits or more, not after a date as cameras name photos) and the "frame_000120"
// naming of other tools ("clip_frame_0042", "frame000120") give the video's folder and name; any
// other picture gives an empty string.
QString video_of(const QString& image_path);

struct GroupedSplit {
  QVector<ImageLabelPair> pairs;  // in set order: train, then val, then test
  SplitCounts counts;
  int groups = 0;             // how many groups the images formed
  int videos[3] = {0, 0, 0};  // the videos (by their frames' names) each set holds, whole
};

// A reproducible split that cannot leak: images made from one source (by name), the frames of one
// video (video_of), images with identical bytes and near-duplicates (perceptual hash) form one group, and a group goes
// whole to one set. The groups are shuffled by `seed`; sets are filled in turn up to the counts plan_split gives (a
// group that starts a set's last places stays whole). A raised `cancel` leaves the pictures not yet read out of the
// grouping: the plan is then only good for being thrown away.
GroupedSplit plan_grouped_split(const QVector<ImageLabelPair>& pairs, double r_train, double r_val, quint64 seed,
                                const std::atomic<bool>* cancel = nullptr);

// "name count, name count" per set, the most frequent class first.
QStringList set_class_counts(const GroupedSplit& split, const QStringList& names);

// The train/val/test folders of an earlier export in `destination` that hold files.
QStringList earlier_export_sets(const QString& destination);

// What an export a crash cut short left in `destination`: one stopped while moving its sets into
// place is finished (the destination then holds the new export whole, the earlier one gone); one
// stopped while writing leaves only its own hidden folder, which goes. What was done, for the
// user; empty when there was nothing.
QString recover_interrupted_export(const QString& destination);

// A class name as a YAML scalar: plain when YAML reads it back as the same string,
// otherwise double-quoted with escapes.
QString yaml_class_name(const QString& name);

// The manifest text: absolute path with forward slashes, the three sets, and the class names.
QString manifest_text(const QString& absolute_destination, const QStringList& classes);

struct ExportResult {
  SplitCounts counts;
  bool cancelled = false;  // `cancel` was raised: nothing was written
  // Class ids in the exported labels that had no name and are named by their number in
  // data.yaml (first..last), or -1.
  int unnamed_first = -1;
  int unnamed_last = -1;
  // The objects written, by kind, and the label files named by what happened to them.
  LabelFormat format = LabelFormat::Detection;
  int boxes = 0;
  int polygons = 0;
  QStringList converted;  // detection: files whose polygon lines were written as their boxes
  QStringList mixed;      // segmentation: files holding both box and polygon lines, copied as they are
  // Pictures left out, as the engine drops them too: "<label> line N: why" for a label line it
  // cannot read, "<picture>: why" for an empty or unreadable picture; and, filled by the caller,
  // pictures without a label file.
  QStringList left_out;
  QStringList unlabelled;
  int backgrounds = 0;     // pictures exported without a label file (backgrounds to the engine)
  int largest_class = -1;  // the largest class id written
};

// Why exporting `pairs` into `destination` would write over a source: a target that is a
// source file (the same file or a hard link), or a destination folder that is or holds a
// source folder.
Status export_source_conflict(const QVector<ImageLabelPair>& pairs, const QString& destination);

// The largest class id of the label lines in the pairs' files; -1 when there is none.
int largest_class_id(const QVector<ImageLabelPair>& pairs);

// Writes the six folders, copies images (with their file times) and labels or their box
// conversion into the sets in the order of `pairs`, and data.yaml. All of it is written into a
// staging folder inside `destination` and moved into place at the end (an earlier export's sets
// and data.yaml replaced only with `replace_earlier`), so a failure or a cancel leaves the
// destination as it was. A picture whose label file holds a line the engine cannot read is left
// out and named (the engine drops it too). Writes nothing when the export would touch a source.
// Each picture is read as the engine reads it (dataset_reader): one it drops is left out and named
// with its reason, a label of a class beyond `classes` included. Without any class names, data.yaml
// names every id from 0 to the largest in the labels by its number.
// A failure says which file failed and why; nothing was written then.
Expected<ExportResult> export_dataset(const QVector<ImageLabelPair>& pairs, const SplitCounts& counts,
                                      const QString& destination, LabelFormat format, const QStringList& classes,
                                      const std::atomic<bool>* cancel = nullptr, bool replace_earlier = false,
                                      std::atomic<int>* done = nullptr);

// The "Export Complete" text: where, how many images per set, warnings (an empty val set,
// unnamed class ids), the seed and its groups, and the objects per set.
QString export_summary_text(const QString& destination, const GroupedSplit& split, const ExportResult& result,
                            quint64 seed, const QStringList& classes);
// The "Export Error" text of a failed export: the reason, and that no file was written.
QString export_error_text(const QString& reason);

}  // namespace quorlan

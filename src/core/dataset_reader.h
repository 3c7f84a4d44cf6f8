#pragma once
// The one reader of datasets, the engine's. Given a folder, a data.yaml, a list file or a dataset's
// top folder, it yields the pictures as the engine finds them (its picture formats, subfolders
// included, list files resolved), each picture's label file by the engine's rule (the last
// "/images/" of the path read as "/labels/"), the class names with where they came from, and for
// each picture the engine's verdict with the label rows it accepts. Every tool that judges, counts,
// exports or carries a dataset's labels reads them through this; only the annotation document (and
// the class rewrite over it) keeps a line reader of its own, for the shapes it shows and edits.
#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include "core/class_names.h"
#include "core/engine_labels.h"
#include "core/expected.h"

namespace quorlan {

// The engine's picture formats (its IMG_FORMATS), by extension without the dot, lower case.
const QStringList& engine_image_formats();
// The engine's label file of a picture: the last "/images/" of its path replaced by "/labels/",
// the text after the last dot replaced by "txt".
QString engine_label_path(const QString& image_path);

struct DatasetPicture {
  QString image;         // absolute, clean path
  QString label;         // the label file the engine reads for it
  QString studio_label;  // where the studio's own folders keep it (label_path_for): beside the
                         // picture when an images/ folder has no labels/ sibling
  QString split;         // "train", "val" or "test" for a manifest's splits; empty otherwise
  // The label file in use: the engine's when it exists, else the studio's (labels the studio
  // wrote beside pictures inside images/, which the engine itself would not find).
  QString label_in_use() const;
  bool label_beside_only() const;  // the engine's label is missing and the studio's exists apart from it
};

// A single picture outside any dataset: its label file where the engine and the studio look.
DatasetPicture picture_at(const QString& image_path);

struct Dataset {
  enum class Kind { Folder, Manifest, ListFile, TopFolder };
  Kind kind = Kind::Folder;
  QString source;                      // what was given, absolute
  QString manifest;                    // the data.yaml read, when there is one
  FolderClasses classes;               // the names and where they came from (none: objects counted by id)
  QVector<DatasetPicture> pictures;    // each split in the engine's order (sorted paths), train first
  QStringList splits;                  // the splits read, in order ("train", "val", "test"), or empty
  QVector<QStringList> split_sources;  // for each split, the folders and list files it names
  // List-file entries that name no existing picture, and pictures whose names are not valid UTF-8.
  QStringList missing;
  QStringList undecodable;
  QStringList pictures_only() const;
};

// The pictures the engine finds for one split entry: a folder (every picture under it, hidden
// names skipped, as its recursive glob), or a list file ("./x" from the list's folder, other
// relative entries from `base`); sorted. Entries of a list naming no file go to `missing`.
QStringList engine_image_files(const QString& entry, const QString& base, QStringList* missing = nullptr);

// Opens what a user points a tool at. A folder with a data.yaml naming its splits, or a path to
// such a manifest, is read split by split; a folder holding images/ (and labels/) is read as a
// dataset's top folder; a .txt list file by its lines; any other folder as the engine reads a
// split folder (every picture under it). Fails with a clear message when there is nothing to read.
Expected<Dataset> open_dataset(const QString& path);

// The engine's reading of one picture: whether it is used, and with which rows.
struct PictureVerdict {
  enum class Outcome { Labelled, Background, Empty, Rejected };
  Outcome outcome = Outcome::Background;
  QString reason;                 // why the engine drops the picture
  QVector<LabelRow> rows;         // every row of the file in order; those it removes marked `duplicate`
  int duplicates = 0;             // duplicate rows it removes
  bool clipped = false;           // coordinates within its tolerance beyond 0..1
  bool segments = false;          // the rows are segments
  bool jpeg_reencoded = false;    // a JPEG without its end marker that it re-encodes in place
  bool unreadable_label = false;  // the label file exists but cannot be read
  bool image_rejected = false;    // the reason is the picture's own, not its label file's
  bool used() const { return outcome != Outcome::Rejected; }
};

// The engine's verdict on a picture's bytes alone (format, size, a truncated or broken file);
// an empty reason when it takes the picture. `reencoded` is set for a JPEG it rewrites in place.
QString engine_image_problem(const QString& image_path, bool* reencoded = nullptr, QSize* size = nullptr);
// The same for the picture's bytes already read (`image_path` names it, for a header read).
QString engine_image_problem(const QByteArray& bytes, const QString& image_path, bool* reencoded = nullptr,
                             QSize* size = nullptr);

// Whether a file is a JPEG cut short before its end marker: the engine cannot decode it ("image file
// is truncated") and drops it. Reads the whole file only when its last two bytes are not the marker.
bool truncated_jpeg(const QString& image_path);

// The engine's verdict on a picture and its label file. `class_count` <= 0: ids are not checked.
// `check_image` false reads only the label file (what the class statistics need).
PictureVerdict read_picture(const DatasetPicture& picture, int class_count, bool check_image = true);
// The same for label bytes already read.
PictureVerdict verdict_of_label_bytes(const QByteArray& bytes, int class_count);

// The number of classes ids are checked against: the names' count when names are known, else 0.
inline int checked_class_count(const FolderClasses& classes) {
  return classes.known() ? static_cast<int>(classes.names.size()) : 0;
}

}  // namespace quorlan

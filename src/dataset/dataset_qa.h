#pragma once
// What the engine would reject, drop or leak, found before an export: bad label lines, box and
// polygon lines mixed, boxes too small to train, pictures it cannot use, duplicates and
// near-duplicates, confirmed backgrounds, two pictures sharing one label file, and pictures that are
// also in another split of the dataset's manifest.
#include <QString>
#include <QStringList>
#include <QVector>
#include <atomic>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>

#include "core/dataset_reader.h"

namespace quorlan {

struct QaSection {
  QString title;
  QStringList items;   // one line per finding: a file and what is wrong with it
  QStringList images;  // the image paths the findings name (for jumping to them)
};

struct QaFindings {
  QVector<QaSection> sections;  // only sections with findings, in a fixed order
  int background = 0;           // images whose label file is empty (confirmed background)
  bool cancelled = false;       // stopped through `cancel`: nothing else is set
};

// Examines the images of `folder` and their label files. `class_names` empty: no names known (ids
// are not checked against them). `imgsz` is the training size boxes are judged at. `cancel`, when
// given and set (from another thread), stops the work at its next picture.
QaFindings examine_dataset_quality(const QString& folder, const QStringList& class_names, int imgsz,
                                   const std::atomic<bool>* cancel = nullptr);
// The same for pictures as the dataset reader yields them, its class names checked (ids are not
// when it has none); `other_split_pictures` are those of the dataset's other splits, compared for
// leaks, and named from `other_root`.
QaFindings examine_dataset_quality(const Dataset& dataset, int imgsz, const std::atomic<bool>* cancel = nullptr,
                                   const QStringList& other_split_pictures = {}, const QString& other_root = {});

// The sections under the health report: each a count and up to three samples.
QString qa_report_text(const QaFindings& findings);

// A key per file that equals another's exactly when their bytes are the same: SHA-1 and size,
// computed only for files that share their size with another (an empty key for the rest, and
// for files that cannot be read).
QVector<QByteArray> content_keys(const QStringList& paths);

// Whether the engine takes a picture with these bytes for a corrupt JPEG and re-encodes it in place
// when it trains: JPEG content whose last two bytes are not the end marker (a file cut short, or a
// phone's trailer after the picture). `bytes` may be the file's first three and last two bytes.
bool engine_rewrites_jpeg(const QByteArray& bytes);
// The JPEG files of a dataset's split folders (as its manifest names them, listed as the engine
// lists them) that the engine would re-encode in place.
QStringList jpegs_the_engine_rewrites(const QString& data_yaml);
// What a run on such files would do, with up to five of them named.
QString engine_rewrites_text(const QStringList& rewritten);

// The pictures of the other splits (train/val/test folders) of `manifest`, when the folder of
// `images` is one of them; empty otherwise.
QStringList other_split_images(const QString& manifest, const QStringList& images);

// What a reduced grey decode of a picture looks like: a 64-bit difference hash (which way the
// brightness steps between neighbours of a 9x8 thumbnail) and the thumbnail's mean grey level.
struct PictureHash {
  std::uint64_t bits = 0;
  int mean = 0;  // 0..255
};
// nullopt when the picture cannot be read.
std::optional<PictureHash> perceptual_hash(const QString& image_path);
// The same hash of a picture already decoded (8-bit BGR or grey), such as a video's frame.
std::optional<PictureHash> perceptual_hash_of(const cv::Mat& picture);
// The number of bits two difference hashes differ in.
int hamming(std::uint64_t a, std::uint64_t b);
// Hashes this close (of 64 bits) are one picture resized or re-encoded...
constexpr int kNearDuplicateBits = 4;
// ...when their brightness is about the same too: flat or nearly flat pictures (a red and a green
// card) have the same steps, none, and are told apart by this.
constexpr int kNearDuplicateMeanLevels = 12;
bool alike(const PictureHash& a, const PictureHash& b);

}  // namespace quorlan

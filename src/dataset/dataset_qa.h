#pragma once
// What the engine would reject, drop or leak, found before an export: bad label lines, box and
// polygon lines mixed, boxes too small to train, pictures it cannot use, duplicates and
// near-duplicates, confirmed backgrounds, two pictures sharing one label file, and pictures that are
// also in another split of the dataset's manifest.
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <optional>

namespace quorlan {

struct QaSection {
  QString title;
  QStringList items;   // one line per finding: a file and what is wrong with it
  QStringList images;  // the image paths the findings name (for jumping to them)
};

struct QaFindings {
  QVector<QaSection> sections;  // only sections with findings, in a fixed order
  int background = 0;           // images whose label file is empty (confirmed background)
};

// Examines the images of `folder` and their label files. `class_names` empty: no names known (ids
// are not checked against them). `imgsz` is the training size boxes are judged at.
QaFindings examine_dataset_quality(const QString& folder, const QStringList& class_names, int imgsz);

// The sections under the health report: each a count and up to three samples.
QString qa_report_text(const QaFindings& findings);

// A key per file that equals another's exactly when their bytes are the same: SHA-1 and size,
// computed only for files that share their size with another (an empty key for the rest, and
// for files that cannot be read).
QVector<QByteArray> content_keys(const QStringList& paths);

// The pictures of the other splits (train/val/test folders) of `manifest`, when the folder of
// `images` is one of them; empty otherwise.
QStringList other_split_images(const QString& manifest, const QStringList& images);

// A 64-bit difference hash of a reduced grey decode (nullopt when the picture cannot be read),
// and the number of bits two hashes differ in.
std::optional<std::uint64_t> perceptual_hash(const QString& image_path);
int hamming(std::uint64_t a, std::uint64_t b);
// Hashes this close (of 64 bits) are one picture resized or re-encoded.
constexpr int kNearDuplicateBits = 4;

}  // namespace quorlan

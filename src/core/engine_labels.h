#pragma once
// What the engine makes of one label file, by its own rules (verify_image_label in its
// data/utils.py): read as UTF-8 with or without a byte-order mark, split on any white space; a
// file is rejected whole (its picture dropped from training) for a mix of segment and box rows,
// rows of the wrong width, a token that is not a number, coordinates beyond its 1% tolerance,
// negative values, a class id that is not whole or has no name; duplicate rows are removed.
#include <QByteArray>
#include <QString>
#include <QVector>

namespace quorlan {

// One label row the engine keeps, where it came from and what it stands for.
struct LabelRow {
  int line = 0;                      // 1-based line number in the file
  int class_id = 0;                  // the class, a whole number as the engine reads it ("3", "3.0")
  QByteArray raw;                    // the line as written, without a byte-order mark or line break
  bool segment = false;              // read as a polygon (the file holds segment rows)
  float x = 0, y = 0, w = 0, h = 0;  // the row's box, centre and size, normalised (float32, as the engine holds it)
  QVector<float> points;             // a segment's x, y pairs
  bool duplicate = false;            // the same as an earlier row: the engine removes it
};

struct EngineLabelVerdict {
  enum class Outcome { Accepted, Empty, Rejected };
  Outcome outcome = Outcome::Accepted;
  QString reason;          // the engine's reason for a rejected file
  int rows = 0;            // rows the engine keeps
  QVector<LabelRow> kept;  // every row of an accepted file in file order, duplicates marked
  int duplicates = 0;      // rows it removes as duplicates
  bool segments = false;   // read as segmentation rows
  bool clipped = false;    // coordinates just beyond 0..1 (within the tolerance), which it clips
};

// `class_count` <= 0: the number of classes is not known and ids are not checked against it.
EngineLabelVerdict engine_label_verdict(const QByteArray& bytes, int class_count);

}  // namespace quorlan

#pragma once
// A folder's label kind: detection boxes or segmentation polygons. New shapes follow it, so the
// studio never mixes a file on its own; turning a folder from one kind to the other is one
// explicit rewrite of the files that hold lines of the other kind.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

#include "core/expected.h"
#include "core/label_files.h"

namespace quorlan {

// "Boxes" or "Polygons".
QString label_kind_name(LabelKind kind);

// The kind most lines of the files have (the first `max_files` existing ones are read); nullopt
// when they hold no box or polygon line.
std::optional<LabelKind> label_kind_of_files(const QStringList& label_paths, int max_files = 2000);

// Label text with every line of the other kind written as `to`: a box line as its four corners,
// a polygon line as its bounding box (the class token as written). Lines of `to`, and lines that
// cannot be read, stay byte for byte. nullopt when no line changes.
std::optional<QByteArray> converted_label_bytes(const QByteArray& bytes, LabelKind to);

struct KindSwitch {
  QStringList files;  // the label files that hold lines of the other kind
  int lines = 0;      // how many lines change
  QStringList unreadable;
};
// What switching `label_paths` to `to` rewrites.
KindSwitch plan_kind_switch(const QStringList& label_paths, LabelKind to);
// Rewrites the planned files through checked writes; a file changed since the plan is read
// again. Stops at the first failure with the file and the reason; the files written before stay.
Expected<int> apply_kind_switch(const KindSwitch& plan, LabelKind to);

}  // namespace quorlan

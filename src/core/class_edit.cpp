#include "core/class_edit.h"

#include <QDir>
#include <algorithm>
#include <cstdlib>

#include "core/atomic_file.h"
#include "core/label_files.h"

namespace quorlan {
namespace {

// The class list without entry `id`, and the mapping that closes the gap it leaves.
ClassMapping without(const QStringList& names, int id, int lines_to) {
  ClassMapping mapping;
  mapping.names = names;
  mapping.names.removeAt(id);
  for (int old = 0; old < names.size(); ++old) {
    if (old == id)
      mapping.new_id << (lines_to < 0 ? -1 : (lines_to > id ? lines_to - 1 : lines_to));
    else
      mapping.new_id << (old > id ? old - 1 : old);
  }
  return mapping;
}

// The whole number a class token stands for ("3", "3.0"), or -1.
int class_of(const QByteArray& token) {
  bool ok = false;
  const double value = token.toDouble(&ok);
  if (!ok || value < 0 || value > 1e9 || value != static_cast<double>(static_cast<int>(value))) return -1;
  return static_cast<int>(value);
}

}  // namespace

ClassMapping merge_classes(const QStringList& names, int from, int into) { return without(names, from, into); }

ClassMapping delete_class(const QStringList& names, int id) { return without(names, id, -1); }

ClassMapping swap_classes(const QStringList& names, int a, int b) {
  ClassMapping mapping;
  mapping.names = names;
  mapping.names.swapItemsAt(a, b);
  for (int old = 0; old < names.size(); ++old) mapping.new_id << (old == a ? b : old == b ? a : old);
  return mapping;
}

std::optional<QByteArray> remapped_label_bytes(const QByteArray& bytes, const QVector<int>& new_id, int* lines,
                                               QHash<int, int>* by_class, int* deleted) {
  QByteArray eol;
  const QVector<LabelLine> split = split_label_lines(bytes, &eol);
  QByteArray out;
  int changed = 0;
  int gone = 0;
  bool last_kept = true;
  for (const LabelLine& line : split) {
    const int old = line.blank() ? -1 : class_of(line.class_token);
    const int mapped = old >= 0 && old < new_id.size() ? new_id[old] : old;
    last_kept = !(old >= 0 && mapped < 0);
    if (mapped != old && by_class) ++(*by_class)[old];
    if (!last_kept) {
      ++changed;
      ++gone;
      continue;
    }
    if (mapped == old) {
      out += line.raw + eol;
      continue;
    }
    const qsizetype at = line.raw.indexOf(line.class_token);
    out += line.raw.left(at) + QByteArray::number(mapped) + line.raw.mid(at + line.class_token.size()) + eol;
    ++changed;
  }
  if (lines) *lines = changed;
  if (deleted) *deleted = gone;
  if (changed == 0) return std::nullopt;
  // A last line without its break keeps that form (when it stays).
  if (last_kept && !bytes.isEmpty() && !bytes.endsWith('\n') && !bytes.endsWith('\r') && out.endsWith(eol))
    out.chop(eol.size());
  return out;
}

ClassRewrite plan_class_rewrite(const QStringList& label_paths, const QVector<int>& new_id) {
  ClassRewrite plan;
  for (const QString& path : label_paths) {
    if (!file_stamp(path).exists || plan.before.contains(path)) continue;
    const Expected<QByteArray> loaded = read_regular_file(path);
    if (!loaded) {
      plan.unreadable << path;
      continue;
    }
    int lines = 0;
    int deleted = 0;
    const std::optional<QByteArray> changed = remapped_label_bytes(*loaded, new_id, &lines, &plan.by_class, &deleted);
    if (!changed) continue;
    plan.files << path;
    plan.before.insert(path, *loaded);
    plan.after.insert(path, *changed);
    plan.deleted += deleted;
    plan.objects += lines - deleted;
  }
  return plan;
}

Status rewrite_label_files(const QHash<QString, QByteArray>& from, const QHash<QString, QByteArray>& to) {
  QStringList paths = to.keys();
  paths.sort();
  for (const QString& path : paths) {
    const Expected<QByteArray> now = read_regular_file(path);
    if (!now || *now != from.value(path))
      return failure(
          QStringLiteral("%1 was changed since; no file was rewritten.").arg(QDir::toNativeSeparators(path)));
  }
  for (qsizetype i = 0; i < paths.size(); ++i) {
    const Status written = write_file_atomically(paths[i], to.value(paths[i]));
    if (written) continue;
    // Whole or nothing: the files already rewritten get their bytes back.
    for (qsizetype j = 0; j < i; ++j) (void)write_file_atomically(paths[j], from.value(paths[j]));
    return failure(
        QStringLiteral("%1: %2\nNo file was changed.").arg(QDir::toNativeSeparators(paths[i]), written.error()));
  }
  return {};
}

QStringList near_class_names(const QString& name, const QStringList& names) {
  const QString a = name.toCaseFolded();
  QStringList near;
  for (const QString& other : names) {
    const QString b = other.toCaseFolded();
    if (a == b) {
      if (name != other) near << other;
      continue;
    }
    const qsizetype la = a.size(), lb = b.size();
    // Short names ("A", "B", "p1") are one edit apart by design, not by a slip of the finger.
    if (std::abs(la - lb) > 1 || std::min(la, lb) < 3) continue;
    // One letter changed, two neighbours swapped ("cra" for "car"), or one letter added or dropped.
    qsizetype i = 0;
    while (i < la && i < lb && a[i] == b[i]) ++i;
    const bool swapped = la == lb && i + 1 < la && a[i] == b[i + 1] && a[i + 1] == b[i] && a.mid(i + 2) == b.mid(i + 2);
    const bool one = swapped || (la == lb ? a.mid(i + 1) == b.mid(i + 1)
                                          : (la > lb ? a.mid(i + 1) == b.mid(i) : a.mid(i) == b.mid(i + 1)));
    if (one) near << other;
  }
  return near;
}

}  // namespace quorlan

#include "core/class_edit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
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
  if (!ok || !std::isfinite(value) || value < 0 || value > 1e9 || value != static_cast<double>(static_cast<int>(value)))
    return -1;
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
  QByteArray out;
  int changed = 0;
  int gone = 0;
  // Each line keeps its own break: a file of mixed breaks stays as it was around the lines changed.
  for (const LabelLine& line : split_label_lines(bytes)) {
    const int old = line.blank() ? -1 : class_of(line.class_token);
    const int mapped = old >= 0 && old < new_id.size() ? new_id[old] : old;
    if (mapped != old && by_class) ++(*by_class)[old];
    if (old >= 0 && mapped < 0) {
      ++changed;
      ++gone;
      continue;
    }
    if (mapped == old) {
      out += line.raw + line.end;
      continue;
    }
    const qsizetype at = line.raw.indexOf(line.class_token);
    out += line.raw.left(at) + QByteArray::number(mapped) + line.raw.mid(at + line.class_token.size()) + line.end;
    ++changed;
  }
  if (lines) *lines = changed;
  if (deleted) *deleted = gone;
  if (changed == 0) return std::nullopt;
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

namespace {

QJsonValue bytes_json(const std::optional<QByteArray>& bytes) {
  return bytes ? QJsonValue(QString::fromLatin1(bytes->toBase64())) : QJsonValue();
}

std::optional<QByteArray> json_bytes(const QJsonValue& v) {
  if (!v.isString()) return std::nullopt;
  return QByteArray::fromBase64(v.toString().toLatin1());
}

// Puts `path` back to `bytes` (nullopt: the file did not exist, and goes).
Status put_back(const QString& path, const std::optional<QByteArray>& bytes) {
  if (bytes) return write_file_atomically(path, *bytes);
  if (!QFileInfo::exists(path) || QFile::remove(path)) return {};
  return failure(QStringLiteral("it could not be removed"));
}

std::optional<QByteArray> bytes_now(const QString& path) {
  if (!QFileInfo::exists(path)) return std::nullopt;
  const Expected<QByteArray> now = read_regular_file(path);
  return now ? std::optional<QByteArray>(*now) : std::optional<QByteArray>(QByteArray("\0unreadable", 11));
}

Status write_journal(const QString& journal, const QStringList& paths, const QHash<QString, QByteArray>& from,
                     const QHash<QString, QByteArray>& to, const QStringList& created, const QStringList& removed,
                     bool done) {
  QJsonArray files;
  for (const QString& path : paths)
    files.append(QJsonObject{{"path", path},
                             {"before", created.contains(path) ? QJsonValue() : bytes_json(from.value(path))},
                             {"after", removed.contains(path) ? QJsonValue() : bytes_json(to.value(path))}});
  const QJsonObject root{{"journal", "class change"}, {"done", done}, {"files", files}};
  return write_file_atomically(journal, QJsonDocument(root).toJson(QJsonDocument::Compact));
}

}  // namespace

QString class_change_journal(const QString& folder) { return QDir(folder).filePath(kClassChangeJournal); }

Status rewrite_label_files(const QHash<QString, QByteArray>& from, const QHash<QString, QByteArray>& to,
                           const QString& journal, const QStringList& created, const QStringList& removed) {
  QStringList paths = to.keys();
  paths.sort();
  for (const QString& path : paths) {
    if (created.contains(path) ? QFileInfo::exists(path) : bytes_now(path) != from.value(path))
      return failure(
          QStringLiteral("%1 was changed since; no file was rewritten.").arg(QDir::toNativeSeparators(path)));
  }
  // The journal reaches the disk before the first file is touched: a crash from here on is
  // rolled back at the next start.
  if (!journal.isEmpty())
    if (const Status kept = write_journal(journal, paths, from, to, created, removed, false); !kept)
      return failure(QStringLiteral("The change could not be recorded before it is made (%1: %2). No file was changed.")
                         .arg(QDir::toNativeSeparators(journal), kept.error()));
  for (qsizetype i = 0; i < paths.size(); ++i) {
    const Status written = removed.contains(paths[i]) ? put_back(paths[i], std::nullopt)
                                                      : write_file_atomically(paths[i], to.value(paths[i]));
    if (written) continue;
    // Whole or nothing: the files already rewritten get their bytes back.
    QStringList not_back;
    for (qsizetype j = 0; j < i; ++j) {
      const std::optional<QByteArray> before =
          created.contains(paths[j]) ? std::nullopt : std::optional<QByteArray>(from.value(paths[j]));
      if (const Status back = put_back(paths[j], before); !back)
        not_back << QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(paths[j]), back.error());
    }
    const QString what = QStringLiteral("%1: %2\n").arg(QDir::toNativeSeparators(paths[i]), written.error());
    if (not_back.isEmpty()) {
      if (!journal.isEmpty()) QFile::remove(journal);
      return failure(what + QStringLiteral("No file was changed."));
    }
    return failure(what + QStringLiteral("%1 file(s) already rewritten could not be put back: %2. They are put back "
                                         "when the folder is next opened.")
                              .arg(not_back.size())
                              .arg(not_back.join(QStringLiteral(", "))));
  }
  if (!journal.isEmpty()) {
    // Marked done before it goes, so that a journal left behind is never taken for a change cut short.
    (void)write_journal(journal, {}, {}, {}, {}, {}, true);
    QFile::remove(journal);
  }
  return {};
}

QString recover_class_change(const QString& journal) {
  const QFileInfo info(journal);
  if (!info.exists() && !info.isSymLink()) return {};
  const QString shown = QDir::toNativeSeparators(journal);
  const Expected<QByteArray> bytes =
      info.size() > (1ll << 30) ? Expected<QByteArray>(failure("too large")) : read_regular_file(journal);
  QJsonParseError error{};
  const QJsonObject root = bytes ? QJsonDocument::fromJson(*bytes, &error).object() : QJsonObject();
  if (!bytes || error.error != QJsonParseError::NoError || root.value("journal").toString() != "class change")
    return QStringLiteral("The record of a class change %1 could not be read; it was left as it is.").arg(shown);
  if (root.value("done").toBool()) {
    QFile::remove(journal);
    return {};
  }
  int put = 0;
  QStringList not_back;
  for (const auto& v : root.value("files").toArray()) {
    const QJsonObject file = v.toObject();
    const QString path = file.value("path").toString();
    const std::optional<QByteArray> before = json_bytes(file.value("before"));
    const std::optional<QByteArray> now = bytes_now(path);
    if (path.isEmpty() || now == before) continue;
    if (now != json_bytes(file.value("after"))) {
      not_back << QStringLiteral("%1 (changed since)").arg(QDir::toNativeSeparators(path));
      continue;
    }
    if (const Status back = put_back(path, before); back)
      ++put;
    else
      not_back << QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(path), back.error());
  }
  if (not_back.isEmpty()) {
    QFile::remove(journal);
    return QStringLiteral(
               "A class change cut short (the studio or a command stopped in the middle of it) was rolled "
               "back: %1 file(s) put back, so every label file and the class list are as before it.")
        .arg(put);
  }
  // Kept aside with what it knows: the files named can be compared with it by hand.
  const QString aside = journal + QStringLiteral(".unfinished");
  QFile::remove(aside);
  QFile::rename(journal, aside);
  return QStringLiteral(
             "A class change cut short was rolled back in part: %1 file(s) put back, but %2 could not be: "
             "%3. Its record was kept as %4.")
      .arg(put)
      .arg(not_back.size())
      .arg(not_back.join(QStringLiteral(", ")), QDir::toNativeSeparators(aside));
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

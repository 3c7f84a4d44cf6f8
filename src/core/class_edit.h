#pragma once
// Changes to a folder's class list that reach its label files: merging one class into another,
// deleting a class, moving a class. Each is a mapping from old ids to new ones, applied to every
// label file as one whole: the files are either all rewritten or, after a failure, all put back.
// Renaming touches no label file (the ids stay) and is not a mapping.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

#include "core/expected.h"

namespace quorlan {

// new_id[old] is the id lines of class `old` get, or -1 when they go; ids at or past its size
// stay as they are. `names` is the class list after the change.
struct ClassMapping {
  QVector<int> new_id;
  QStringList names;
};

// Class `from` joins class `into`: its lines take `into`'s id and the ids after `from` move down.
ClassMapping merge_classes(const QStringList& names, int from, int into);
// Class `id` and every line of it go; the ids after it move down.
ClassMapping delete_class(const QStringList& names, int id);
// Classes `a` and `b` trade places (and ids).
ClassMapping swap_classes(const QStringList& names, int a, int b);

// `bytes` with the mapping applied: a changed line keeps everything but its class token (written
// as the new id), a deleted line goes with its line break. Lines whose class token is not a whole
// number stay byte for byte. nullopt when nothing changes; `lines` receives how many lines
// change or go, `by_class` adds them up by their class before and `deleted` counts those that go.
std::optional<QByteArray> remapped_label_bytes(const QByteArray& bytes, const QVector<int>& new_id,
                                               int* lines = nullptr, QHash<int, int>* by_class = nullptr,
                                               int* deleted = nullptr);

struct ClassRewrite {
  QStringList files;                  // the label files that change
  int objects = 0;                    // lines whose class changes
  int deleted = 0;                    // lines that go
  QHash<int, int> by_class;           // lines that change or go, by their class before
  QStringList unreadable;             // label files that could not be read (left alone)
  QHash<QString, QByteArray> before;  // each file's bytes when planned
  QHash<QString, QByteArray> after;   // and once rewritten
};
// What applying `mapping` to `label_paths` rewrites.
ClassRewrite plan_class_rewrite(const QStringList& label_paths, const QVector<int>& new_id);

// The record of a class change kept in `folder` while its files are rewritten.
constexpr const char* kClassChangeJournal = ".quorlan-class-change.json";
QString class_change_journal(const QString& folder);

// Writes `to` into every file of the plan through checked writes. A file that no longer holds
// what `from` says (changed since; for a path in `created`, one that exists now) stops it before
// anything is written. With a `journal`, every file's bytes before and after are recorded there
// (and reach the disk) before the first write, and the record goes after the last: a change cut
// short by a crash is rolled back by recover_class_change. A failed write puts the files written
// before it back (a `created` file goes); the files that could not be put back are named, and the
// record then stays for the next start. A path of `to` in `removed` is not written but goes (it
// must hold `from`'s bytes). The reason when it stopped.
Status rewrite_label_files(const QHash<QString, QByteArray>& from, const QHash<QString, QByteArray>& to,
                           const QString& journal = {}, const QStringList& created = {},
                           const QStringList& removed = {});

// After a crash: the change recorded in `journal` rolled back (each file still as the change left
// it gets its bytes from before; one changed since is left and named) and the record removed.
// What was done, for the user; empty when there was no record (or a finished one).
QString recover_class_change(const QString& journal);

// Names one edit away from `name` (a letter added, dropped or changed, two neighbours swapped;
// names under three letters are never near) or differing from it only in letter case.
QStringList near_class_names(const QString& name, const QStringList& names);

}  // namespace quorlan

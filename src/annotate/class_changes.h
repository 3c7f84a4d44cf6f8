#pragma once
// The class changes of one folder as commands, apart from any widget: a merge, delete or move
// rewrites the folder's label files and its class list as one journaled change, remembered so
// that the last one is taken back while the studio runs. The tab asks, confirms and shows; this
// part says what changes, writes it and remembers it.
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include "core/class_edit.h"
#include "core/expected.h"

namespace quorlan {

// One change: the class names and every file it rewrites (the label files and the class list's
// file), before and after.
struct ClassChange {
  QString title;
  QStringList names_before;
  QStringList names_after;
  QHash<QString, QByteArray> files_before;
  QHash<QString, QByteArray> files_after;
  QStringList created;  // files the change makes (a class list the folder did not have)
  QStringList removed;  // files the change takes away (what undoing a change that made them does)
};

class ClassChanges {
 public:
  // A folder opened: its class list lives in `names_file`; nothing of another folder is undone.
  void reset(const QString& folder, const QString& names_file);

  // The change `mapping` makes (planned over the label files as `plan`) to the class list `names`.
  ClassChange change_for(const QString& title, const QStringList& names, const ClassMapping& mapping,
                         const ClassRewrite& plan) const;
  // The change that takes back the last one; a failure, saying why, when there is none or the
  // class list `names` is no longer the one it left.
  Expected<ClassChange> undo_of_last(const QStringList& names) const;

  // Writes `change` as one journaled change: all or none, and a crash in the middle is rolled
  // back when the folder is next opened. Touches only files: it may run beside the window.
  Status write(const ClassChange& change) const;

  // A change written: the one undo_of_last() takes back next.
  void record(ClassChange change) { changes_.append(std::move(change)); }
  // The last change was taken back.
  void drop_last() {
    if (!changes_.isEmpty()) changes_.removeLast();
  }
  bool isEmpty() const { return changes_.isEmpty(); }
  // The last change; only while !isEmpty().
  const ClassChange& last() const { return changes_.last(); }

 private:
  // `change` with the class list's file joined to its files: its bytes now, then `names`.
  void join_class_list(ClassChange& change, const QStringList& names) const;

  QString folder_;
  QString names_file_;
  QVector<ClassChange> changes_;
};

}  // namespace quorlan

#pragma once
// The frame every command of the `quorlan` command line shares: its options, its messages (the
// studio's own texts), progress on standard error, results on standard output (text, or one JSON
// object with --json), exit status 0 / 1 (the work failed) / 2 (bad usage) / 130 (interrupted),
// and Ctrl+C.
#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

namespace quorlan::cli {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kInterrupted = 130 };

// Ctrl+C: the first asks the work to stop at its next safe point (a file is never left half
// written; a training run saves and ends); the second ends an engine run at once.
const std::atomic<bool>& stop_requested();
const std::atomic<bool>& abort_requested();
void install_interrupt_handler();

class Command {
 public:
  // `arguments`: what follows the command's name on the command line.
  Command(const QString& name, const QString& summary, const QStringList& arguments);

  QCommandLineParser parser;
  bool json = false;

  // Parses the arguments; on --help prints the help and returns kOk, on a mistake the reason
  // and returns kUsage; -1 when the command goes on. `positional` names the arguments expected
  // (a trailing "..." takes one or more).
  int parse(const QStringList& positional_names);
  QStringList positional() const { return parser.positionalArguments(); }
  QString value(const QString& option) const { return parser.value(option); }

  // An option's number; on a value that is not one, *ok is false and the usage error is printed.
  int int_value(const QString& option, bool* ok, int min, int max) const;
  double real_value(const QString& option, bool* ok) const;
  int usage(const QString& message) const;

  // Progress of `done` of `total` on standard error: a bar on a terminal, a line a step else.
  void progress(int done, int total, const QString& what);
  // One line on standard error (a console line of the engine, a note).
  static void note(const QString& text);

  // The end of the command: `text` (the studio's message) or, with --json, `result` with
  // "ok", "command" and, on failure, "error" added.
  int succeed(const QString& text, QJsonObject result = {});
  int fail(const QString& text, QJsonObject result = {}, int code = kFailed);

 private:
  QString name_;
  QStringList arguments_;
  bool progress_open_ = false;
  void end_progress_line();
};

// Rolls back a class change a crash cut short in the folder of `path` (the folder itself, or a
// file's folder), saying so on standard error; true when there was one.
bool recover_cut_short_change(const QString& path);

using Runner = std::function<int(const QStringList& arguments)>;
struct Entry {
  const char* name;
  const char* summary;
  Runner run;
};

// The commands, by area.
QList<Entry> dataset_commands();
QList<Entry> imaging_commands();
QList<Entry> engine_commands();
QList<Entry> review_commands();
QList<Entry> segment_commands();
QList<Entry> video_commands();

}  // namespace quorlan::cli

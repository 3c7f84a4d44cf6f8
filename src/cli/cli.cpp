#include "cli/cli.h"

#include <unistd.h>
#include <QFileInfo>
#include <QJsonDocument>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "core/class_edit.h"

namespace quorlan::cli {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_abort{false};

void on_interrupt(int) {
  if (g_stop.load()) g_abort.store(true);
  g_stop.store(true);
}

void write_to(FILE* stream, const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stream);
  std::fflush(stream);
}

}  // namespace

const std::atomic<bool>& stop_requested() { return g_stop; }
const std::atomic<bool>& abort_requested() { return g_abort; }

void install_interrupt_handler() {
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

Command::Command(const QString& name, const QString& summary, const QStringList& arguments)
    : name_(name), arguments_(arguments) {
  parser.setApplicationDescription(summary);
  parser.addHelpOption();
  parser.addOption(QCommandLineOption("json", "Print the result as one JSON object on standard output."));
}

int Command::parse(const QStringList& positional_names) {
  int required = 0;
  bool open_ended = false;
  for (const QString& p : positional_names) {
    parser.addPositionalArgument(p, QString());
    if (p.endsWith("...")) open_ended = true;
    if (!p.startsWith('[')) ++required;
  }
  if (!parser.parse(QStringList{"quorlan " + name_} + arguments_)) return usage(parser.errorText());
  if (parser.isSet("help")) {
    // The usage line names the command, not the path of the program.
    QString help = parser.helpText();
    const int options = help.indexOf(" [options]");
    if (help.startsWith("Usage: ") && options > 0) help.replace(7, options - 7, "quorlan " + name_);
    write_to(stdout, help);
    return kOk;
  }
  json = parser.isSet("json");
  const int given = static_cast<int>(parser.positionalArguments().size());
  if (given < required) return usage(QStringLiteral("Missing argument: %1.").arg(positional_names.value(given)));
  if (!open_ended && given > positional_names.size())
    return usage(
        QStringLiteral("Unexpected argument: %1.").arg(parser.positionalArguments().value(positional_names.size())));
  return -1;
}

int Command::usage(const QString& message) const {
  write_to(stderr, QStringLiteral("quorlan %1: %2\nRun \"quorlan %1 --help\" for its options.\n").arg(name_, message));
  return kUsage;
}

int Command::int_value(const QString& option, bool* ok, int min, int max) const {
  bool parsed = false;
  const int v = parser.value(option).trimmed().toInt(&parsed);
  if (!parsed || v < min || v > max) {
    usage(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\".")
              .arg(option)
              .arg(min)
              .arg(max)
              .arg(parser.value(option)));
    *ok = false;
    return 0;
  }
  return v;
}

double Command::real_value(const QString& option, bool* ok) const {
  bool parsed = false;
  const double v = parser.value(option).trimmed().toDouble(&parsed);
  if (!parsed || !std::isfinite(v)) {
    usage(QStringLiteral("--%1 takes a number, not \"%2\".").arg(option, parser.value(option)));
    *ok = false;
    return 0;
  }
  return v;
}

void Command::progress(int done, int total, const QString& what) {
  if (isatty(STDERR_FILENO)) {
    const int width = 30;
    const int filled = total > 0 ? done * width / total : 0;
    write_to(stderr, QStringLiteral("\r%1 [%2%3] %4/%5 %6\x1b[K")
                         .arg(name_, QString(filled, '#'), QString(width - filled, ' '))
                         .arg(done)
                         .arg(total)
                         .arg(what));
    progress_open_ = true;
  } else {
    write_to(stderr, QStringLiteral("%1: %2/%3 %4\n").arg(name_).arg(done).arg(total).arg(what));
  }
}

void Command::end_progress_line() {
  if (!progress_open_) return;
  write_to(stderr, "\n");
  progress_open_ = false;
}

void Command::note(const QString& text) { write_to(stderr, text.endsWith('\n') ? text : text + '\n'); }

int Command::succeed(const QString& text, QJsonObject result) {
  end_progress_line();
  if (json) {
    result.insert("ok", true);
    result.insert("command", name_);
    write_to(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + '\n');
  } else if (!text.isEmpty()) {
    write_to(stdout, text.endsWith('\n') ? text : text + '\n');
  }
  return kOk;
}

int Command::fail(const QString& text, QJsonObject result, int code) {
  end_progress_line();
  if (json) {
    result.insert("ok", false);
    result.insert("command", name_);
    result.insert("error", text);
    write_to(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + '\n');
  }
  write_to(stderr, text.endsWith('\n') ? text : text + '\n');
  return code;
}

bool recover_cut_short_change(const QString& path) {
  const QFileInfo info(path);
  const QString text = recover_class_change(class_change_journal(info.isDir() ? path : info.absolutePath()));
  if (!text.isEmpty()) Command::note(text);
  return !text.isEmpty();
}

}  // namespace quorlan::cli

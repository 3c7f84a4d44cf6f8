// `quorlan`: the studio's work that needs no human, for pipelines and machines without a screen.
#include <QCoreApplication>
#include <cstdio>

#include "cli/cli.h"
#include "core/console_messages.h"

using namespace quorlan::cli;

namespace {

QList<Entry> all_commands() {
  return dataset_commands() + imaging_commands() + engine_commands() + review_commands() + segment_commands() +
         video_commands();
}

void print_help() {
  std::printf("Usage: quorlan COMMAND [options] [arguments]\n\nCommands:\n");
  for (const Entry& e : all_commands()) std::printf("  %-13s %s\n", e.name, e.summary);
  std::printf(
      "\nEvery command takes --help (its options and defaults) and --json (the result as one JSON object\n"
      "on standard output). Progress goes to standard error. Exit status: 0 done, 1 the work failed,\n"
      "2 bad usage, 130 interrupted (Ctrl+C: the work stops at its next safe point; twice ends an engine\n"
      "run at once).\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  quorlan::quiet_library_noise();
  QCoreApplication::setApplicationName("quorlan");
  QCoreApplication::setApplicationVersion(QUORLAN_VERSION);
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty() || args.first() == "--help" || args.first() == "-h" || args.first() == "help") {
    print_help();
    return args.isEmpty() ? kUsage : kOk;
  }
  if (args.first() == "--version") {
    std::printf("quorlan %s\n", QUORLAN_VERSION);
    return kOk;
  }
  const QString name = args.takeFirst();
  for (const Entry& e : all_commands()) {
    if (name != QLatin1String(e.name)) continue;
    install_interrupt_handler();
    return e.run(args);
  }
  std::fprintf(stderr, "quorlan: unknown command \"%s\". Run \"quorlan --help\" for the commands.\n",
               name.toLocal8Bit().constData());
  return kUsage;
}

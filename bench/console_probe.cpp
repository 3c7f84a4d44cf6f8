// How long a line printed by the engine host takes to reach the studio's console signal: a host
// stand-in prints its wall clock every 100 ms; the receiving side compares with its own clock.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "engine_client/engine_host.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QTemporaryDir dir;
  const QString script = dir.filePath("ticker.py");
  QFile f(script);
  f.open(QIODevice::WriteOnly);
  f.write(
      "import sys, time, os\n"
      "for i in range(40):\n"
      "    os.write(2, ('%.6f\\n' % time.time()).encode())\n"
      "    time.sleep(0.1)\n");
  f.close();
  qputenv("QUORLAN_ENGINE_SCRIPT", script.toLocal8Bit());
  std::vector<double> delays;
  quorlan::EngineSession session;
  QObject::connect(&session, &quorlan::EngineSession::console_signal, [&](const QString& text) {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) delays.push_back((now - line.toDouble()) * 1000);
  });
  QObject::connect(&session, &quorlan::EngineSession::died_signal, &app, &QCoreApplication::quit);
  if (!session.start()) return 1;
  app.exec();
  std::sort(delays.begin(), delays.end());
  std::printf("%zu lines; median %.2f ms, worst %.2f ms from the engine's write to the console signal\n", delays.size(),
              delays[delays.size() / 2], delays.back());
  std::printf("console-latency: ratio %.2f (goal <= 100, worst milliseconds)\n", delays.back());
  return 0;
}

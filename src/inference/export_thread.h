#pragma once
#include <QThread>

#include "engine_client/engine_run.h"

namespace quorlan {

// Converts a weights file with the engine's export, in its own engine host, and moves the
// artefact into the target folder. Ends with exactly one of its two signals.
class ExportThread : public QThread {
  Q_OBJECT
 public:
  ExportThread(const QString& mp, const QString& fs, const QString& ed, QObject* parent = nullptr);
  ~ExportThread() override;
  // Ends the export at once by ending its engine host (the window is closing).
  void abort() { engine_.cancel(); }

  const QString mp;  // weights path
  const QString fs;  // format name
  const QString ed;  // target folder

 signals:
  void finished_signal(const QString& path);
  void error_signal(const QString& text);

 protected:
  void run() override;

 private:
  EngineRun engine_;
};

}  // namespace quorlan

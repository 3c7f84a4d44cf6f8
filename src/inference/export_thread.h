#pragma once

#include "engine_client/engine_job.h"

namespace quorlan {

// Converts a weights file with the engine's export, in its own engine host, and moves the
// artefact into the target folder. Ends with exactly one of its two signals; abort() ends the
// export at once by ending its engine host (the window is closing), and says nothing.
class ExportThread : public EngineJob {
  Q_OBJECT
 public:
  ExportThread(const QString& mp, const QString& fs, const QString& ed, QObject* parent = nullptr);

  const QString mp;  // weights path
  const QString fs;  // format name
  const QString ed;  // target folder

 signals:
  void finished_signal(const QString& path);
  void error_signal(const QString& text);

 protected:
  Work work() const override;
};

}  // namespace quorlan

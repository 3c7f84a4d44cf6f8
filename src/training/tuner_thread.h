#pragma once
#include <QThread>
#include <QVariantMap>
#include <atomic>

namespace quorlan {

// The engine's genetic hyperparameter search in its own engine host; its result is the newest
// best_hyperparameters.yaml below the project folder.
class YoloTunerThread : public QThread {
  Q_OBJECT
 public:
  explicit YoloTunerThread(const QVariantMap& params, QObject* parent = nullptr);
  ~YoloTunerThread() override;

  // Ends the search at once by ending its engine host (the window is closing).
  void abort() { is_aborted.store(true); }

  const QVariantMap params;
  std::atomic<bool> is_aborted{false};

 signals:
  void log_signal(const QString& text);
  void finished_signal(const QVariantMap& best_params);
  void error_signal(const QString& text);

 protected:
  void run() override;
};

}  // namespace quorlan

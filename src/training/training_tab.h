#pragma once
#include <QWidget>

namespace quorlan {

class TrainingTab : public QWidget {
  Q_OBJECT
 public:
  explicit TrainingTab(QWidget* parent = nullptr);
  void setup_progress_tab();
};

}  // namespace quorlan

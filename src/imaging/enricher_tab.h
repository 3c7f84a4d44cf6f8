#pragma once
#include <QWidget>

namespace quorlan {

class EnricherTab : public QWidget {
  Q_OBJECT
 public:
  explicit EnricherTab(QWidget* parent = nullptr);
  void setup_aug_tab();
};

}  // namespace quorlan

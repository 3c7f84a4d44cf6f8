#pragma once
#include <QWidget>

namespace quorlan {

class ResizerTab : public QWidget {
  Q_OBJECT
 public:
  explicit ResizerTab(QWidget* parent = nullptr);
  void setup_resizer_tab();
};

}  // namespace quorlan

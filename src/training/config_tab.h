#pragma once
#include <QWidget>

namespace quorlan {

class ConfigTab : public QWidget {
  Q_OBJECT
 public:
  explicit ConfigTab(QWidget* parent = nullptr);
  void setup_config_tab();
};

}  // namespace quorlan

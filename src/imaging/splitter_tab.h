#pragma once
#include <QWidget>

namespace quorlan {

class SplitterTab : public QWidget {
  Q_OBJECT
 public:
  explicit SplitterTab(QWidget* parent = nullptr);
  void setup_splitter_tab();
};

}  // namespace quorlan

#pragma once
#include <QWidget>

namespace quorlan {

class InferenceTab : public QWidget {
  Q_OBJECT
 public:
  explicit InferenceTab(QWidget* parent = nullptr);
  void setup_inference_tab();
};

}  // namespace quorlan

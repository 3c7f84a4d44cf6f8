#pragma once
#include <QDialog>
#include <array>

#include "dataset/split_export.h"

class QCheckBox;
class QComboBox;
class QSpinBox;

namespace quorlan {

// Asks for the train/val/test percentages and the label format of an export.
class SplitConfigDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SplitConfigDialog(QWidget* parent = nullptr);

  void validate();
  std::array<double, 3> get_ratios() const;
  QString get_format() const;
  // The seed of the shuffle: the same seed splits the same folder the same way.
  quint64 get_seed() const;
  // Pictures without a label file go into the export as backgrounds.
  bool get_backgrounds() const;
  static constexpr int kDefaultSeed = 42;

  QSpinBox* ts = nullptr;
  QSpinBox* vs = nullptr;
  QSpinBox* tes = nullptr;
  QComboBox* fc = nullptr;
  QSpinBox* seed = nullptr;
  QCheckBox* backgrounds = nullptr;
};

}  // namespace quorlan

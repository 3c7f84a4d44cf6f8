#pragma once
// The class distribution dialog over the counts of class_counts.h.
#include "dataset/class_counts.h"

class QDialog;
class QWidget;

namespace quorlan {

// "Dataset Class Distribution": one label and bar row per class, largest first.
QDialog* make_class_distribution_dialog(const ClassCounts& counts, QWidget* parent);

}  // namespace quorlan

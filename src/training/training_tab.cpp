#include "training/training_tab.h"

#include <QVBoxLayout>

namespace quorlan {

TrainingTab::TrainingTab(QWidget* parent) : QWidget(parent) { setup_progress_tab(); }

void TrainingTab::setup_progress_tab() { new QVBoxLayout(this); }

}  // namespace quorlan

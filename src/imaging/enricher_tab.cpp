#include "imaging/enricher_tab.h"

#include <QVBoxLayout>

namespace quorlan {

EnricherTab::EnricherTab(QWidget* parent) : QWidget(parent) { setup_aug_tab(); }

void EnricherTab::setup_aug_tab() { new QVBoxLayout(this); }

}  // namespace quorlan

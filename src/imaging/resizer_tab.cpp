#include "imaging/resizer_tab.h"

#include <QVBoxLayout>

namespace quorlan {

ResizerTab::ResizerTab(QWidget* parent) : QWidget(parent) { setup_resizer_tab(); }

void ResizerTab::setup_resizer_tab() { new QVBoxLayout(this); }

}  // namespace quorlan

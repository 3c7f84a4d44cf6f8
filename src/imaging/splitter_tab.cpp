#include "imaging/splitter_tab.h"

#include <QVBoxLayout>

namespace quorlan {

SplitterTab::SplitterTab(QWidget* parent) : QWidget(parent) { setup_splitter_tab(); }

void SplitterTab::setup_splitter_tab() { new QVBoxLayout(this); }

}  // namespace quorlan

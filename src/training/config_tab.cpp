#include "training/config_tab.h"

#include <QVBoxLayout>

namespace quorlan {

ConfigTab::ConfigTab(QWidget* parent) : QWidget(parent) { setup_config_tab(); }

void ConfigTab::setup_config_tab() { new QVBoxLayout(this); }

}  // namespace quorlan

#include "inference/inference_tab.h"

#include <QVBoxLayout>

namespace quorlan {

InferenceTab::InferenceTab(QWidget* parent) : QWidget(parent) { setup_inference_tab(); }

void InferenceTab::setup_inference_tab() { new QVBoxLayout(this); }

}  // namespace quorlan

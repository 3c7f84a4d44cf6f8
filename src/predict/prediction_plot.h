#pragma once
// A prediction drawn on its picture, as the inference browser shows it: each mask tinted, each
// box outlined in its class colour and labelled with its class name and confidence.
#include <QImage>
#include <opencv2/core.hpp>

#include "core/prediction.h"

namespace quorlan {

// `bgr` is the 8-bit picture the prediction was made on; the result is RGB888.
QImage draw_prediction(const cv::Mat& bgr, const Prediction& prediction);

}  // namespace quorlan

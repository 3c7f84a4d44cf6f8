#include "predict/prediction_plot.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/class_colours.h"

namespace quorlan {

namespace {

cv::Scalar bgr_of(const QColor& c) { return {double(c.blue()), double(c.green()), double(c.red())}; }

}  // namespace

// Drawn with OpenCV alone, so the command line (which has no font system) draws the same picture.
QImage draw_prediction(const cv::Mat& bgr, const Prediction& prediction) {
  cv::Mat canvas = bgr.clone();
  // Masks first, tinted over the picture; boxes and labels on top.
  if (prediction.masks) {
    cv::Mat tint = canvas.clone();
    for (int i = 0; i < prediction.boxes.size() && i < prediction.masks->size(); ++i) {
      std::vector<cv::Point> outline;
      for (const QPointF& p : (*prediction.masks)[i]) outline.emplace_back(cvRound(p.x()), cvRound(p.y()));
      if (outline.size() >= 3)
        cv::fillPoly(tint, std::vector<std::vector<cv::Point>>{outline}, bgr_of(class_colour(prediction.boxes[i].cls)));
    }
    cv::addWeighted(tint, 0.4, canvas, 0.6, 0, canvas);
  }
  // Line width and text grow with the picture, as the engine's plots do.
  const int line = std::max(2, static_cast<int>(std::lround((bgr.cols + bgr.rows) / 2.0 * 0.003)));
  const double scale = line / 3.0;
  const int thickness = std::max(1, line - 1);
  for (const Detection& d : prediction.boxes) {
    const QColor colour = class_colour(d.cls);
    const cv::Point a(cvRound(d.x1), cvRound(d.y1)), b(cvRound(d.x2), cvRound(d.y2));
    cv::rectangle(canvas, a, b, bgr_of(colour), line, cv::LINE_AA);
    // The Hershey font has ASCII only: other letters show as '?'.
    QString text =
        QStringLiteral("%1 %2").arg(prediction.names.value(d.cls, QString::number(d.cls))).arg(d.conf, 0, 'f', 2);
    for (QChar& ch : text)
      if (ch.unicode() > 126 || ch.unicode() < 32) ch = '?';
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text.toStdString(), cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    const bool above = a.y - size.height - 3 >= 0;  // no room above: inside the box
    // Kept inside the picture on the right too.
    const cv::Point at(std::max(0, std::min(a.x, canvas.cols - size.width)), a.y);
    const cv::Point corner(at.x + size.width, above ? at.y - size.height - 3 : at.y + size.height + 3);
    cv::rectangle(canvas, at, corner, bgr_of(colour), cv::FILLED, cv::LINE_AA);
    const QColor ink = contrast_ratio(Qt::black, colour) >= contrast_ratio(Qt::white, colour) ? Qt::black : Qt::white;
    cv::putText(canvas, text.toStdString(), cv::Point(at.x, above ? at.y - 2 : at.y + size.height + 2),
                cv::FONT_HERSHEY_SIMPLEX, scale, bgr_of(ink), thickness, cv::LINE_AA);
  }
  cv::Mat rgb;
  cv::cvtColor(canvas, rgb, cv::COLOR_BGR2RGB);
  return QImage(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step), QImage::Format_RGB888).copy();
}

}  // namespace quorlan

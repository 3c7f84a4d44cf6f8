#include "training/live_chart.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <limits>

#include "core/atomic_file.h"

namespace quorlan {

std::optional<ResultsTable> read_results_csv(const QString& path) {
  const Expected<QByteArray> loaded = read_regular_file(path);
  if (!loaded) return std::nullopt;
  const QByteArray& bytes = *loaded;
  const int complete = bytes.lastIndexOf('\n');
  if (complete < 0) return std::nullopt;
  const QList<QByteArray> lines = bytes.left(complete).split('\n');
  ResultsTable table;
  for (const QByteArray& cell : lines.first().split(',')) table.columns << QString::fromUtf8(cell).trimmed();
  if (table.columns.size() < 2) return std::nullopt;
  for (int i = 1; i < lines.size(); ++i) {
    const QList<QByteArray> cells = lines[i].trimmed().split(',');
    if (cells.size() != table.columns.size()) continue;
    QVector<double> row;
    row.reserve(cells.size());
    for (const QByteArray& cell : cells) {
      bool ok = false;
      const double v = cell.trimmed().toDouble(&ok);
      row << (ok ? v : std::numeric_limits<double>::quiet_NaN());
    }
    table.rows << row;
  }
  return table;
}

namespace {

struct Panel {
  const char* column;
  const char* title;
};

// The engine's results.png layout: two rows of five.
const Panel kPanels[] = {
    {"train/box_loss", "train/box_loss"},       {"train/cls_loss", "train/cls_loss"},
    {"train/dfl_loss", "train/dfl_loss"},       {"metrics/precision(B)", "metrics/precision(B)"},
    {"metrics/recall(B)", "metrics/recall(B)"}, {"val/box_loss", "val/box_loss"},
    {"val/cls_loss", "val/cls_loss"},           {"val/dfl_loss", "val/dfl_loss"},
    {"metrics/mAP50(B)", "metrics/mAP50(B)"},   {"metrics/mAP50-95(B)", "metrics/mAP50-95(B)"},
};

QString tick_text(double v) {
  const double a = std::fabs(v);
  return QString::number(v, 'g', a >= 100 || (a < 0.01 && a > 0) ? 2 : 3);
}

void draw_panel(QPainter& p, const QRectF& box, const QString& title, const QVector<double>& xs,
                const QVector<double>& ys) {
  const QRectF plot = box.adjusted(58, 30, -12, -34);
  p.setPen(QColor(30, 30, 30));
  QFont title_font = p.font();
  title_font.setPointSize(11);
  p.setFont(title_font);
  p.drawText(QRectF(box.left(), box.top() + 4, box.width(), 22), Qt::AlignCenter, title);
  QFont small = title_font;
  small.setPointSize(8);
  p.setFont(small);
  p.setPen(QPen(QColor(200, 200, 200), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRect(plot);

  double y_min = std::numeric_limits<double>::infinity(), y_max = -y_min;
  double x_min = y_min, x_max = -y_min;
  for (int i = 0; i < ys.size(); ++i) {
    if (!std::isfinite(ys[i]) || !std::isfinite(xs[i])) continue;
    y_min = std::min(y_min, ys[i]);
    y_max = std::max(y_max, ys[i]);
    x_min = std::min(x_min, xs[i]);
    x_max = std::max(x_max, xs[i]);
  }
  if (!std::isfinite(y_min)) {
    p.setPen(QColor(120, 120, 120));
    p.drawText(plot, Qt::AlignCenter, QStringLiteral("no values yet"));
    return;
  }
  if (y_max - y_min < 1e-12) {
    y_min -= 0.5 * (std::fabs(y_min) + 1e-3);
    y_max += 0.5 * (std::fabs(y_max) + 1e-3);
  }
  if (x_max - x_min < 1e-12) {
    x_min -= 1;
    x_max += 1;
  }
  const double pad = (y_max - y_min) * 0.08;
  y_min -= pad;
  y_max += pad;
  const auto to_point = [&](double x, double y) {
    return QPointF(plot.left() + (x - x_min) / (x_max - x_min) * plot.width(),
                   plot.bottom() - (y - y_min) / (y_max - y_min) * plot.height());
  };
  // Grid and ticks: four steps up the side, whole epochs along the bottom.
  for (int k = 0; k <= 4; ++k) {
    const double yv = y_min + (y_max - y_min) * k / 4.0;
    const QPointF py = to_point(x_min, yv);
    p.setPen(QPen(QColor(235, 235, 235), 1));
    p.drawLine(QPointF(plot.left(), py.y()), QPointF(plot.right(), py.y()));
    p.setPen(QColor(70, 70, 70));
    p.drawText(QRectF(box.left(), py.y() - 8, 54, 16), Qt::AlignRight | Qt::AlignVCenter, tick_text(yv));
  }
  const double step = std::max(1.0, std::ceil((x_max - x_min) / 5.0));
  for (double xv = std::ceil(x_min); xv <= x_max + 1e-9; xv += step) {
    const QPointF px = to_point(xv, y_min);
    p.drawText(QRectF(px.x() - 25, plot.bottom() + 3, 50, 14), Qt::AlignCenter, QString::number(xv, 'f', 0));
  }
  p.drawText(QRectF(plot.left(), plot.bottom() + 16, plot.width(), 16), Qt::AlignCenter, QStringLiteral("epoch"));
  // The values, as the engine draws them: a line with a marker at each epoch.
  QPainterPath path;
  bool started = false;
  for (int i = 0; i < ys.size(); ++i) {
    if (!std::isfinite(ys[i]) || !std::isfinite(xs[i])) {
      started = false;
      continue;
    }
    const QPointF pt = to_point(xs[i], ys[i]);
    if (started)
      path.lineTo(pt);
    else
      path.moveTo(pt);
    started = true;
  }
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(QColor(31, 119, 180), 2));
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
  p.setBrush(QColor(31, 119, 180));
  for (int i = 0; i < ys.size(); ++i)
    if (std::isfinite(ys[i]) && std::isfinite(xs[i])) p.drawEllipse(to_point(xs[i], ys[i]), 3, 3);
  p.setRenderHint(QPainter::Antialiasing, false);
}

}  // namespace

QString render_loss_chart(const ResultsTable& table, const QString& png_path) {
  // A white sheet like the engine's own plot: readable on the dark and the light theme alike.
  QImage image(1600, 800, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  const int epoch_col = table.column(QStringLiteral("epoch"));
  QVector<double> xs;
  for (int r = 0; r < table.rows.size(); ++r) xs << (epoch_col >= 0 ? table.rows[r][epoch_col] : r + 1);
  int index = 0;
  for (const Panel& panel : kPanels) {
    const int column = index % 5, row = index / 5;
    const QRectF box(column * 320.0, row * 400.0, 320.0, 400.0);
    ++index;
    QVector<double> ys;
    const int col = table.column(QString::fromLatin1(panel.column));
    for (const QVector<double>& row : table.rows)
      ys << (col >= 0 ? row[col] : std::numeric_limits<double>::quiet_NaN());
    draw_panel(p, box, QString::fromLatin1(panel.title), xs, ys);
  }
  p.end();
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) return QStringLiteral("the chart could not be encoded");
  return write_file_atomically(png_path, png, /*sync=*/false).error();
}

}  // namespace quorlan

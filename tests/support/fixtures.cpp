#include "support/fixtures.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <stdexcept>

namespace quorlan::test {

void write_image(const QString& path, int width, int height, QColor colour) {
  QImage image(width, height, QImage::Format_RGB888);
  image.fill(colour);
  QPainter painter(&image);
  painter.fillRect(width / 4, height / 4, width / 2, height / 2, colour.darker(200));
  painter.end();
  if (!image.save(path)) throw std::runtime_error("cannot write test image " + path.toStdString());
}

void write_text(const QString& path, const QString& text) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write " + path.toStdString());
  file.write(text.toUtf8());
}

QString read_text(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

}  // namespace quorlan::test

#pragma once
// Test fixtures made on the spot: images and text files in temporary folders.
#include <QColor>
#include <QString>

namespace quorlan::test {

// Writes a width x height image filled with `colour` (and a darker square, so it is not flat).
void write_image(const QString& path, int width, int height, QColor colour = QColor(90, 140, 200));
void write_text(const QString& path, const QString& text);
QString read_text(const QString& path);

}  // namespace quorlan::test

#pragma once
// The colour each class is drawn in: the standard ten (CLASS_COLORS), or a palette that
// red-green colour-blind eyes tell apart (Okabe-Ito), and text colours readable on a background.
#include <QColor>
#include <QString>
#include <QStringList>

namespace quorlan {

enum class ClassPalette { Standard, ColourBlindSafe };

QStringList class_palette_colours(ClassPalette palette);
// The palette shapes are drawn in (Standard until set); "standard" or "colour-blind" by name.
void set_class_palette(ClassPalette palette);
ClassPalette class_palette();
QString class_palette_key(ClassPalette palette);
ClassPalette class_palette_from_key(const QString& key);

// The colour of class `id` (a negative id takes the first) in the palette in use.
QColor class_colour(int id);

// The WCAG contrast ratio of two colours, 1 to 21.
double contrast_ratio(const QColor& a, const QColor& b);
// `colour` darkened (on a light background) or lightened (on a dark one) just enough to reach
// `ratio` against `background`; unchanged when it already does.
QColor readable_on(const QColor& colour, const QColor& background, double ratio = 4.5);

}  // namespace quorlan

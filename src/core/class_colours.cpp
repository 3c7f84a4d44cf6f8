#include "core/class_colours.h"

#include <atomic>
#include <cmath>

#include "core/constants.h"

namespace quorlan {
namespace {

// Okabe and Ito's palette for colour-blind readers, without its black (invisible on dark pictures
// and on the dark canvas), and a light grey in its place.
const QStringList kColourBlindSafe = {"#E69F00", "#56B4E9", "#009E73", "#F0E442",
                                      "#0072B2", "#D55E00", "#CC79A7", "#BBBBBB"};

std::atomic<int> g_palette{static_cast<int>(ClassPalette::Standard)};

double channel(double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

double luminance(const QColor& c) {
  return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

}  // namespace

QStringList class_palette_colours(ClassPalette palette) {
  return palette == ClassPalette::ColourBlindSafe ? kColourBlindSafe : CLASS_COLORS;
}

void set_class_palette(ClassPalette palette) { g_palette = static_cast<int>(palette); }

ClassPalette class_palette() { return static_cast<ClassPalette>(g_palette.load()); }

QString class_palette_key(ClassPalette palette) {
  return palette == ClassPalette::ColourBlindSafe ? QStringLiteral("colour-blind") : QStringLiteral("standard");
}

ClassPalette class_palette_from_key(const QString& key) {
  return key == QLatin1String("colour-blind") ? ClassPalette::ColourBlindSafe : ClassPalette::Standard;
}

QColor class_colour(int id) {
  const QStringList colours = class_palette_colours(class_palette());
  return QColor(colours[(id < 0 ? 0 : id) % colours.size()]);
}

double contrast_ratio(const QColor& a, const QColor& b) {
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readable_on(const QColor& colour, const QColor& background, double ratio) {
  if (contrast_ratio(colour, background) >= ratio) return colour;
  const bool darken = luminance(background) > 0.18;
  const QColor target = darken ? QColor(Qt::black) : QColor(Qt::white);
  // The least mix towards black (or white) that reaches the ratio, in small steps.
  QColor mixed = colour;
  for (int step = 1; step <= 100; ++step) {
    const double t = step / 100.0;
    mixed = QColor::fromRgbF(static_cast<float>(colour.redF() * (1 - t) + target.redF() * t),
                             static_cast<float>(colour.greenF() * (1 - t) + target.greenF() * t),
                             static_cast<float>(colour.blueF() * (1 - t) + target.blueF() * t));
    if (contrast_ratio(mixed, background) >= ratio) break;
  }
  return mixed;
}

}  // namespace quorlan

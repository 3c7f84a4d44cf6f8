#pragma once
// Definitions shared by several subsystems: class colours, the resizer's unit table,
// and the terminal escape-code pattern of the console.
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

namespace quorlan {

// Colour of class id i is CLASS_COLORS[i % 10].
inline const QStringList CLASS_COLORS = {"#00FF00", "#FF0000", "#0000FF", "#FFFF00", "#FF00FF",
                                         "#00FFFF", "#FFA500", "#800080", "#FFC0CB", "#008000"};

// Inches per unit, in the order the resizer offers the units; pixels have no physical size.
inline const std::vector<std::pair<QString, std::optional<double>>> unit_to_inches = {
    {"px", std::nullopt},         {"in", 1.0}, {"cm", 0.39370078740157477}, {"mm", 0.03937007874015748},
    {"pt", 0.013888888888888888},
};

// Looks a unit up in unit_to_inches; nullopt for "px" and for unknown names.
std::optional<double> inches_per_unit(const QString& unit);

// Terminal escape codes (and their ESC-less remnants) deleted from console text.
const QRegularExpression& ANSI_ESCAPE();

// Console text as the training console shows it: escape codes and carriage returns removed.
QString clean_console_text(const QString& text);

}  // namespace quorlan

#pragma once
#include <QString>

namespace quorlan {

// A file that ships with the studio (the engine host script, the icon): beside the executable
// in a build tree, or in <prefix>/share/quorlan-studio of an installed one. The first that
// exists; the one beside the executable when neither does.
QString shipped_file(const QString& name);

}  // namespace quorlan

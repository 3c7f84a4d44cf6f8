#pragma once
#include <QString>

#include "core/expected.h"

namespace quorlan {

// Puts the engine's export artefact (a file or a folder) into `target_dir` under its own name:
// the folder is created, an existing artefact of that name is replaced, and nothing moves when
// the artefact already lies there. The destination, or why it could not be moved.
Expected<QString> move_export_artifact(const QString& artifact, const QString& target_dir);

}  // namespace quorlan

#pragma once
#include <QString>

namespace quorlan {

// Puts the engine's export artefact (a file or a folder) into `target_dir` under its own name:
// the folder is created, an existing artefact of that name is replaced, and nothing moves when
// the artefact already lies there. Returns the destination, or an empty string with *error set.
QString move_export_artifact(const QString& artifact, const QString& target_dir, QString* error);

}  // namespace quorlan

#pragma once
#include <QByteArray>
#include <QString>

namespace quorlan {

// Writes `data` to `path` through a temporary file that is renamed over the target, so a
// crash or a full disk never leaves a half-written file. Returns an empty string on success,
// otherwise the system's reason.
QString write_file_atomically(const QString& path, const QByteArray& data);

}  // namespace quorlan

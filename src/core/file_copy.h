#pragma once
#include <QString>

#include "core/expected.h"

namespace quorlan {

// Copies a file with its access and modification times, replacing the target (the kernel copies
// the bytes where it can). A failure (a full disk) leaves no half-written target: a new file is
// taken away again, and an existing one is replaced only by a whole copy renamed over it.
Status copy_with_times(const QString& from, const QString& to);

// The folder as the system resolves it (links followed), or its clean absolute path when it
// does not exist yet.
QString resolved_folder(const QString& folder);
// Whether `folder` is `outer` or inside it (both resolved already).
bool is_inside(const QString& folder, const QString& outer);

}  // namespace quorlan

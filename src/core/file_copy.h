#pragma once
#include <QString>

#include "core/expected.h"

namespace quorlan {

// Copies a file with its access and modification times, replacing the target (the kernel copies
// the bytes where it can). A failure (a full disk) leaves no half-written target: a new file is
// taken away again, and an existing one is replaced only by a whole copy renamed over it.
Status copy_with_times(const QString& from, const QString& to);

}  // namespace quorlan

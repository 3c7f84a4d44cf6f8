#pragma once
#include <QString>

#include "core/expected.h"

namespace quorlan {

// Copies a file with its access and modification times, replacing the target (the kernel copies
// the bytes where it can). The copy is written under a temporary name beside the target and
// renamed at the end, so a failure (a full disk) leaves no half-written target.
Status copy_with_times(const QString& from, const QString& to);

}  // namespace quorlan

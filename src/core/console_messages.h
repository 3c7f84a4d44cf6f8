#pragma once
// What reaches the user's terminal from the libraries the studio uses.
#include <QString>

namespace quorlan {

// Whether a library message is noise to a user: libpng's complaint about a colour profile other
// programs wrote ("iCCP: known incorrect sRGB profile"), which changes nothing the studio reads.
bool is_library_noise(const QString& message);
// Installs a message handler that drops library noise and passes everything else on.
void quiet_library_noise();

}  // namespace quorlan

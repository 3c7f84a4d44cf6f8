#pragma once
#include <QIcon>
#include <QString>

namespace quorlan {

// "Quorlan-Studio-icon.png" in `directory`; a null icon when the file is not there.
QIcon load_app_icon(const QString& directory);

// Gives the process its application identity on Windows; does nothing elsewhere.
void set_windows_app_identity();

}  // namespace quorlan

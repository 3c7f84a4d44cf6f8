#pragma once
#include <QString>
#include <QStringList>

namespace quorlan {

// The pictures the studio works on, by extension (any case): jpg, jpeg, png, bmp, webp.
bool is_image_name(const QString& name);
// The pictures of `folder` (regular files only), sorted by path.
QStringList list_folder_images(const QString& folder);

}  // namespace quorlan

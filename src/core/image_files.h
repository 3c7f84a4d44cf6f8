#pragma once
#include <QString>
#include <QStringList>

namespace quorlan {

// The picture formats the studio works on: those the engine trains on (its IMG_FORMATS) that the
// studio can decode, by extension without the dot, lower case: jpg, jpeg, png, bmp, webp, tif, tiff.
const QStringList& image_extensions();
// "*.jpg *.jpeg ..." for file dialogs.
QString image_name_filter();
// Whether `name` has one of image_extensions() (any case).
bool is_image_name(const QString& name);
// The pictures of `folder` (regular files only), sorted by path.
QStringList list_folder_images(const QString& folder);
// The pictures of `folder` whose names are not valid UTF-8 (a Latin-1 "café.jpg" from an old
// camera): no tool can open them by name, so each is named as skipped, shown as Latin-1.
QStringList undecodable_image_names(const QString& folder);
// "<name>: its name is not valid UTF-8; rename it to include it" for each of them.
QStringList undecodable_image_notes(const QString& folder);

}  // namespace quorlan

#include "review/review_dismissals.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <algorithm>

#include "core/atomic_file.h"
#include "core/file_copy.h"

namespace quorlan {

namespace {

// The settings group of a folder: a digest of its path, since a path is no settings key.
QString group_of(const QString& folder) {
  return QStringLiteral("review/") +
         QCryptographicHash::hash(resolved_folder(folder).toUtf8(), QCryptographicHash::Sha1).toHex();
}

}  // namespace

ReviewDismissals ReviewDismissals::load(const QString& folder, QSettings* settings) {
  ReviewDismissals d;
  d.folder_ = folder;
  d.settings_ = settings;
  QFile file(QDir(folder).filePath(kFileName));
  if (file.open(QIODevice::ReadOnly)) {
    d.place_chosen_ = d.in_folder_ = true;
    for (const auto& v : QJsonDocument::fromJson(file.readAll()).object()["dismissed"].toArray())
      d.keys_.insert(v.toString());
  } else if (settings) {
    const QString group = group_of(folder);
    d.place_chosen_ = settings->contains(group + "/in_folder");
    for (const QString& key : settings->value(group + "/dismissed").toStringList()) d.keys_.insert(key);
  }
  return d;
}

void ReviewDismissals::choose_place(bool in_folder) {
  place_chosen_ = true;
  in_folder_ = in_folder;
  if (settings_) settings_->setValue(group_of(folder_) + "/in_folder", in_folder);
}

Status ReviewDismissals::set(const ReviewFinding& finding, bool dismissed) {
  const QString key = finding.key(folder_);
  if (dismissed == keys_.contains(key)) return {};
  if (dismissed)
    keys_.insert(key);
  else
    keys_.remove(key);
  const Status written = write();
  if (!written) {  // nothing changed after all
    if (dismissed)
      keys_.remove(key);
    else
      keys_.insert(key);
  }
  return written;
}

Status ReviewDismissals::write() {
  QStringList sorted(keys_.begin(), keys_.end());
  std::sort(sorted.begin(), sorted.end());
  if (in_folder_) {
    const QJsonObject root{{"dismissed", QJsonArray::fromStringList(sorted)}};
    return write_file_atomically(QDir(folder_).filePath(kFileName), QJsonDocument(root).toJson());
  }
  if (settings_) settings_->setValue(group_of(folder_) + "/dismissed", sorted);
  return {};
}

}  // namespace quorlan

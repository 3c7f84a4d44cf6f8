#include "review/review_dismissals.h"

#include <QCryptographicHash>
#include <QDateTime>
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
  const QString path = QDir(folder).filePath(kFileName);
  const QFileInfo info(path);
  const auto from_settings = [&] {
    if (!settings) return;
    const QString group = group_of(folder);
    d.place_chosen_ = settings->contains(group + "/in_folder");
    for (const QString& key : settings->value(group + "/dismissed").toStringList()) d.keys_.insert(key);
  };
  if (!info.exists() && !info.isSymLink()) {
    from_settings();
    return d;
  }
  // A pipe, a device or a link to one is never opened (it would wait, or never end); nor is a file
  // far larger than any list of dismissals. They stay as they are, and the list is kept in the
  // settings instead.
  if (!is_regular_file(path) || info.size() > kMaxFileBytes) {
    from_settings();
    d.writable_ = false;
    d.problem_ = QStringLiteral(
                     "%1 is not a file of dismissals (%2), so it was left alone; dismissals are kept in "
                     "the studio's settings instead.")
                     .arg(QDir::toNativeSeparators(path), is_regular_file(path)
                                                              ? QStringLiteral("it is %1 MB").arg(info.size() >> 20)
                                                              : QStringLiteral("it is a pipe, device or folder"));
    return d;
  }
  d.place_chosen_ = d.in_folder_ = true;
  const Expected<QByteArray> bytes = read_regular_file(path);
  QJsonParseError error{};
  const QJsonDocument document = bytes ? QJsonDocument::fromJson(*bytes, &error) : QJsonDocument();
  bool sound = bytes.ok() && error.error == QJsonParseError::NoError && document.isObject() &&
               document.object().value("dismissed").isArray();
  for (const auto& v : document.object().value("dismissed").toArray()) {
    if (v.isString())
      d.keys_.insert(v.toString());
    else
      sound = false;
  }
  if (sound) return d;
  // What cannot be read is kept aside whole before anything is written over it.
  const QString aside =
      QDir(folder).filePath(QStringLiteral(".quorlan-review.unreadable-%1.json")
                                .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
  const Status kept = bytes ? write_file_atomically(aside, *bytes) : Status(failure(bytes.error()));
  d.problem_ =
      kept ? QStringLiteral(
                 "%1 could not be read whole (%2): a copy was kept as %3, and the %4 dismissal(s) "
                 "that could be read are kept.")
                 .arg(QDir::toNativeSeparators(path),
                      bytes ? (error.error != QJsonParseError::NoError ? error.errorString()
                                                                       : QStringLiteral("entries of the wrong type"))
                            : bytes.error(),
                      QFileInfo(aside).fileName())
                 .arg(d.keys_.size())
           : QStringLiteral(
                 "%1 could not be read, nor kept aside (%2); it is left as it is and dismissals are not "
                 "written into it.")
                 .arg(QDir::toNativeSeparators(path), kept.error());
  if (!kept) {
    d.in_folder_ = false;
    d.writable_ = false;
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
  if (in_folder_ && writable_) {
    const QJsonObject root{{"dismissed", QJsonArray::fromStringList(sorted)}};
    return write_file_atomically(QDir(folder_).filePath(kFileName), QJsonDocument(root).toJson());
  }
  if (settings_) settings_->setValue(group_of(folder_) + "/dismissed", sorted);
  return {};
}

}  // namespace quorlan

#include "shell/atomic_file.h"

#include <QSaveFile>

namespace quorlan {

QString write_file_atomically(const QString& path, const QByteArray& data) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  if (file.write(data) != data.size()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return reason;
  }
  if (!file.commit()) return file.errorString();
  return {};
}

}  // namespace quorlan

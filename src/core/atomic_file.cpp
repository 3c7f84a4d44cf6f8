#include "core/atomic_file.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorlan {

QString write_file_atomically(const QString& path, const QByteArray& data, bool sync) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  // QSaveFile::commit() flushes its buffer itself but (Qt 6.4) can report success when that
  // last write failed, for example with ENOSPC: flush here and look at the answer.
  if (file.write(data) != data.size() || !file.flush()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return reason.isEmpty() ? QStringLiteral("the data could not be written") : reason;
  }
#ifdef Q_OS_UNIX
  if (sync && ::fdatasync(file.handle()) != 0) {
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    file.cancelWriting();
    return reason;
  }
#else
  Q_UNUSED(sync);
#endif
  if (!file.commit()) return file.errorString();
  return {};
}

FileStamp file_stamp(const QString& path) {
  FileStamp stamp;
#ifdef Q_OS_UNIX
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.size = st.st_size;
  stamp.mtime_ns = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  stamp.inode = static_cast<qint64>(st.st_ino);
#else
  const QFileInfo info(path);
  if (!info.exists()) return stamp;
  stamp.exists = true;
  stamp.size = info.size();
  stamp.mtime_ns = info.lastModified().toMSecsSinceEpoch() * 1000000LL;
#endif
  return stamp;
}

bool is_regular_file(const QString& path) {
#ifdef Q_OS_UNIX
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
#else
  return QFileInfo(path).isFile();
#endif
}

bool read_regular_file(const QString& path, QByteArray* bytes, QString* error) {
  if (!is_regular_file(path)) {
    if (error) *error = QStringLiteral("not a regular file");
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = file.errorString();
    return false;
  }
  *bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

}  // namespace quorlan

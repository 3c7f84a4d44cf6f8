#include "core/atomic_file.h"

#include <QDateTime>
#include <QDir>
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

namespace {
void (*g_write_hook)(const char*, const QString&) = nullptr;
}  // namespace

void set_atomic_write_hook(void (*hook)(const char* step, const QString& path)) { g_write_hook = hook; }

void crash_point(const char* step, const QString& path) {
  if (g_write_hook) g_write_hook(step, path);
}

Status write_file_atomically(const QString& path, const QByteArray& data, bool sync) {
#ifdef Q_OS_UNIX
  // The new file takes the old one's permissions: a read-only file stays read-only (QSaveFile
  // leaves the temporary's own when the process may write anyway, as root may).
  struct stat old {};
  const bool existed = ::stat(QFile::encodeName(path).constData(), &old) == 0 && S_ISREG(old.st_mode);
#endif
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return failure(file.errorString());
  crash_point("write", path);
  // QSaveFile::commit() flushes its buffer itself but (Qt 6.4) can report success when that
  // last write failed, for example with ENOSPC: flush here and look at the answer.
  if (file.write(data) != data.size() || !file.flush()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return failure(reason.isEmpty() ? QStringLiteral("the data could not be written") : reason);
  }
#ifdef Q_OS_UNIX
  if (sync && ::fdatasync(file.handle()) != 0) {
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    file.cancelWriting();
    return failure(reason);
  }
#else
  Q_UNUSED(sync);
#endif
  crash_point("rename", path);
  if (!file.commit()) return failure(file.errorString());
#ifdef Q_OS_UNIX
  struct stat now {};
  if (existed && ::stat(QFile::encodeName(path).constData(), &now) == 0 &&
      (now.st_mode & 07777) != (old.st_mode & 07777))
    ::chmod(QFile::encodeName(path).constData(), old.st_mode & 07777);
#endif
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

Status require_regular_file(const QString& path, const QString& what) {
  if (is_regular_file(path)) return {};
  return failure(QStringLiteral("%1 is not a file (a folder, pipe, socket or device): %2 is read from a file.")
                     .arg(QDir::toNativeSeparators(path), what));
}

Expected<QByteArray> read_regular_file(const QString& path) {
  if (!is_regular_file(path)) return failure(QStringLiteral("not a regular file"));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return failure(file.errorString());
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return failure(file.errorString());
  return bytes;
}

}  // namespace quorlan

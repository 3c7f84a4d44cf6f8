#include "core/file_copy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorlan {
namespace {

// Copies `from` to `to` as it is, times included; the reason on failure.
QString copy_bytes_and_times(const QString& from, const QString& to) {
#ifndef Q_OS_UNIX
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path src(from.toStdWString()), dst(to.toStdWString());
  fs::copy_file(src, dst, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::last_write_time(dst, fs::last_write_time(src, ec), ec);
  return ec ? QString::fromStdString(ec.message()) : QString();
#else
  const QByteArray src_path = QFile::encodeName(from);
  const QByteArray dst_path = QFile::encodeName(to);
  const int in = ::open(src_path.constData(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return QString::fromLocal8Bit(std::strerror(errno));
  struct stat st {};
  if (::fstat(in, &st) != 0) {
    const int e = errno;
    ::close(in);
    return QString::fromLocal8Bit(std::strerror(e));
  }
  const int out = ::open(dst_path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    const int e = errno;
    ::close(in);
    return QString::fromLocal8Bit(std::strerror(e));
  }
  int error = 0;
  off_t left = st.st_size;
  // The kernel copies (and on some file systems shares) the bytes without a trip through here.
  while (left > 0) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
    if (n > 0) {
      left -= n;
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
      error = errno;
      break;
    }
    // No kernel copy between these two: copy through a buffer.
    char buffer[1 << 16];
    ssize_t r;
    while ((r = ::read(in, buffer, sizeof buffer)) > 0) {
      for (ssize_t done = 0; done < r;) {
        const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(r - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          error = errno;
          break;
        }
        done += w;
      }
      if (error) break;
    }
    if (r < 0) error = errno;
    break;
  }
  if (!error) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0) error = errno;
  }
  if (::close(out) != 0 && !error) error = errno;
  ::close(in);
  return error ? QString::fromLocal8Bit(std::strerror(error)) : QString();
#endif
}

}  // namespace

Status copy_with_times(const QString& from, const QString& to) {
  if (!QFileInfo::exists(to)) {
    // A new file: written in place, and taken away again when the copy fails (a full disk).
    const QString reason = copy_bytes_and_times(from, to);
    if (reason.isEmpty()) return {};
    QFile::remove(to);
    return failure(reason);
  }
  // A file that is there already is replaced only by a whole copy: written beside it under a
  // hidden name (so the rename never crosses file systems), then renamed over it.
  const QFileInfo target(to);
  const QString partial = target.dir().filePath(QStringLiteral(".%1.quorlan-partial").arg(target.fileName()));
  const QString reason = copy_bytes_and_times(from, partial);
  if (!reason.isEmpty()) {
    QFile::remove(partial);
    return failure(reason);
  }
  if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(to).constData()) != 0) {
    const QString why = QString::fromLocal8Bit(std::strerror(errno));
    QFile::remove(partial);
    return failure(why);
  }
  return {};
}

QString resolved_folder(const QString& folder) {
  const QString canonical = QFileInfo(folder).canonicalFilePath();
  return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) : canonical;
}

bool is_inside(const QString& folder, const QString& outer) {
  return folder == outer || folder.startsWith(outer.endsWith('/') ? outer : outer + QLatin1Char('/'));
}

}  // namespace quorlan

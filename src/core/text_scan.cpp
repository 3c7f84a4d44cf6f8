#include "core/text_scan.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <charconv>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorlan {

bool read_whole_file(const QByteArray& path, std::string& out) {
#ifndef Q_OS_UNIX
  if (!QFileInfo(QFile::decodeName(path)).isFile()) return false;
  QFile file(QFile::decodeName(path));
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray bytes = file.readAll();
  out.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return file.error() == QFileDevice::NoError;
#else
  // Plain system calls: over a folder of 100,000 small label files QFile's own work shows.
  // O_NONBLOCK: a FIFO named like a label file must not hang the reader; only regular files
  // are read at all.
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  out.clear();
  char buffer[16384];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
#endif
}

bool parse_double(std::string_view token, double* value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), *value);
  return ec == std::errc() && end == token.data() + token.size() && !token.empty();
}

bool parse_int(std::string_view token, long long* value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), *value);
  return ec == std::errc() && end == token.data() + token.size() && !token.empty();
}

}  // namespace quorlan

#pragma once
#include <QByteArray>
#include <QString>

#include "core/expected.h"

namespace quorlan {

// Writes `data` to `path` through a temporary file in the same folder that is written,
// flushed, checked (and with `sync`, forced to the disk) and only then renamed over the target,
// so a crash or a full disk never leaves a half-written or empty file. On failure the system's
// reason; the old file is then untouched.
Status write_file_atomically(const QString& path, const QByteArray& data, bool sync = true);

// For crash tests: when set, called with "write" before a file's temporary is written and with
// "rename" before it replaces `path`; a test ends its (child) process there to leave on disk what a
// crash at that moment leaves.
void set_atomic_write_hook(void (*hook)(const char* step, const QString& path));
// A moment the hook hears of besides a write: a rename of a folder into place, say.
void crash_point(const char* step, const QString& path);

// What a file looked like on disk when it was read: enough to tell that another program
// changed, created or removed it since.
struct FileStamp {
  bool exists = false;
  qint64 size = 0;
  qint64 mtime_ns = 0;
  qint64 inode = 0;
  bool operator==(const FileStamp& o) const {
    return exists == o.exists && size == o.size && mtime_ns == o.mtime_ns && inode == o.inode;
  }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};
FileStamp file_stamp(const QString& path);

// True for a regular file (or a link to one): never a folder, FIFO, socket or device, which
// would block or fail a reader.
bool is_regular_file(const QString& path);

// Fails, saying so, when `path` is not a regular file: `what` ("a model") is read from a file.
Status require_regular_file(const QString& path, const QString& what);

// Reads a regular file whole; the reason for anything else or a read error.
Expected<QByteArray> read_regular_file(const QString& path);

}  // namespace quorlan

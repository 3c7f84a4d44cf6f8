#pragma once
// Test fixtures made on the spot: images and text files in temporary folders.
#include <QByteArray>
#include <QColor>
#include <QString>
#include <QVariantMap>

namespace quorlan::test {

// Writes a width x height image filled with `colour` (and a darker square, so it is not flat).
void write_image(const QString& path, int width, int height, QColor colour = QColor(90, 140, 200));
// A width x height picture of coarse random blocks from `seed`: every seed a different picture.
void write_noise_image(const QString& path, int width, int height, quint32 seed);
void write_text(const QString& path, const QString& text);
void write_bytes(const QString& path, const QByteArray& bytes);
// The parameters of a small CPU training run (64 px, batch 4, no workers) as the configuration
// tab gives them.
QVariantMap small_run_params(const QString& model, const QString& data_yaml, const QString& project,
                             const QString& name, int epochs);
// Lets the files the studio is writing land (the test's event loop turns meanwhile, as the
// window's would). The readers below do it first: they read the files as the studio left them.
void await_writes();
QString read_text(const QString& path);
bool file_exists(const QString& path);
// Slow cases run only in their own CTest entries (label "slow", QUORLAN_SLOW_TESTS=1), so the
// everyday `ctest -LE slow` stays fast while CI runs everything.
bool slow_tests_enabled();

}  // namespace quorlan::test

namespace quorlan::test {

// Makes `folder` refuse new files (chmod for a normal user; the immutable flag for root, whom
// permissions do not stop). Returns false when neither works here. Undo with make_writable.
bool make_unwritable(const QString& folder);
void make_writable(const QString& folder);

// A tiny file system of its own (a tmpfs of `kib` KiB, root only) for full-disk tests;
// ok() is false where it cannot be mounted. Unmounted when it goes.
class SmallDisk {
 public:
  explicit SmallDisk(int kib);
  ~SmallDisk();
  bool ok() const { return mounted_; }
  QString path() const { return path_; }
  // Fills the disk up to its last bytes.
  void fill();

 private:
  QString path_;
  bool mounted_ = false;
};

QByteArray read_bytes(const QString& path);
// The engine's interpreter for tests that ask the installed engine itself: QUORLAN_PYTHON, else the
// environment scripts/setup-engine makes; empty when neither is there.
QString engine_python();
// A grey PNG of width x height whose colour profile libpng warns about ("iCCP: too short").
void write_png_with_bad_profile(const QString& path, int width, int height);
// A PNG of signature and header only, claiming width x height pixels (69 bytes).
void write_png_claiming(const QString& path, quint32 width, quint32 height);

// Sends everything written to standard output while it lives into a string.
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  QString text();

 private:
  int saved_fd_ = -1;
  QString path_;
};

}  // namespace quorlan::test

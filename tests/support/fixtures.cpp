#include "support/fixtures.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>
#include <algorithm>
#include <stdexcept>

#include "core/work_pool.h"

namespace quorlan::test {

QVariantMap small_run_params(const QString& model, const QString& data_yaml, const QString& project,
                             const QString& name, int epochs) {
  return {{"model_path", model}, {"data_yaml", data_yaml},
          {"project", project},  {"name", name},
          {"epochs", epochs},    {"imgsz", 64},
          {"batch", 4},          {"workers", 0},
          {"optimizer", "auto"}, {"lr0", 0.01},
          {"lrf", 0.01},         {"close_mosaic", 10},
          {"device", "cpu"}};
}

void write_image(const QString& path, int width, int height, QColor colour) {
  QImage image(width, height, QImage::Format_RGB888);
  image.fill(colour);
  QPainter painter(&image);
  painter.fillRect(width / 4, height / 4, width / 2, height / 2, colour.darker(200));
  painter.end();
  if (!image.save(path)) throw std::runtime_error("cannot write test image " + path.toStdString());
}

void write_noise_image(const QString& path, int width, int height, quint32 seed) {
  QRandomGenerator random(seed);
  QImage image(width, height, QImage::Format_RGB888);
  const int block = std::max(1, std::min(width, height) / 32);
  for (int y = 0; y < height; y += block)
    for (int x = 0; x < width; x += block) {
      QPainter painter(&image);
      painter.fillRect(x, y, block, block,
                       QColor::fromRgb(random.bounded(256), random.bounded(256), random.bounded(256)));
    }
  if (!image.save(path)) throw std::runtime_error("cannot write test image " + path.toStdString());
}

bool slow_tests_enabled() { return qEnvironmentVariableIsSet("QUORLAN_SLOW_TESTS"); }

void write_text(const QString& path, const QString& text) { write_bytes(path, text.toUtf8()); }

void write_bytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write " + path.toStdString());
  file.write(bytes);
}

void await_writes() {
  QElapsedTimer clock;
  clock.start();
  while (writes_in_flight() > 0 && clock.elapsed() < 60000) QTest::qWait(1);
}

bool file_exists(const QString& path) {
  await_writes();
  return QFileInfo::exists(path);
}

QString read_text(const QString& path) {
  await_writes();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

}  // namespace quorlan::test

#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryFile>
#include <QThread>
#include <cstdio>
#include <thread>

namespace quorlan::test {

bool make_unwritable(const QString& folder) {
  if (geteuid() != 0) {
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return !QFileInfo(folder).isWritable();
  }
  return QProcess::execute("chattr", {"+i", folder}) == 0;
}

void make_writable(const QString& folder) {
  if (geteuid() == 0) QProcess::execute("chattr", {"-i", folder});
  QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

SmallDisk::SmallDisk(int kib) {
  // A new path each time: a folder the studio remembers (its last picture) is never met again.
  static int made = 0;
  path_ = QDir::temp().filePath(QStringLiteral("quorlan-disk-%1-%2").arg(getpid()).arg(++made));
  QDir().mkpath(path_);
  if (geteuid() != 0) return;
  mounted_ =
      QProcess::execute("mount", {"-t", "tmpfs", "-o", QStringLiteral("size=%1k").arg(kib), "tmpfs", path_}) == 0;
}

SmallDisk::~SmallDisk() {
  if (mounted_) QProcess::execute("umount", {path_});
  QDir(path_).removeRecursively();
}

void SmallDisk::fill() {
  // The filesystem counts its free space per processor, leaving slack a write from another
  // processor may still find: every processor fills what it sees.
  const auto fill_from_here = [this](int part) {
    QFile filler(QDir(path_).filePath(QStringLiteral(".filler%1").arg(part == 0 ? QString() : QString::number(part))));
    if (!filler.open(QIODevice::Append | QIODevice::Unbuffered)) return;
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size()) {
    }
    const QByteArray byte(1, 'x');
    while (filler.write(byte) == 1) {
    }
  };
  fill_from_here(0);
  const int processors = std::max(1, QThread::idealThreadCount());
  for (int round = 0; round < 2; ++round)
    for (int part = 1; part <= processors; ++part) std::thread(fill_from_here, part).join();
}

namespace {
quint32 crc32(const QByteArray& bytes) {
  quint32 crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<uchar>(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put_be32(QByteArray& out, quint32 v) {
  for (int k = 3; k >= 0; --k) out += char((v >> (8 * k)) & 0xFF);
}
}  // namespace

void write_png_claiming(const QString& path, quint32 width, quint32 height) {
  QByteArray ihdr("IHDR", 4);
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  ihdr += QByteArray("\x08\x02\x00\x00\x00", 5);
  QByteArray png("\x89PNG\r\n\x1a\n", 8);
  put_be32(png, 13);
  png += ihdr;
  put_be32(png, crc32(ihdr));
  QByteArray iend("IEND", 4);
  put_be32(png, 0);
  png += iend;
  put_be32(png, crc32(iend));
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write " + path.toStdString());
  file.write(png);
}

QByteArray read_bytes(const QString& path) {
  await_writes();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

CaptureStdout::CaptureStdout() {
  std::fflush(stdout);
  path_ = QDir::temp().filePath(QStringLiteral("quorlan-stdout-%1.txt").arg(getpid()));
  saved_fd_ = dup(fileno(stdout));
  const int fd = open(path_.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, fileno(stdout));
  close(fd);
}

QString CaptureStdout::text() {
  std::fflush(stdout);
  return read_text(path_);
}

CaptureStdout::~CaptureStdout() {
  std::fflush(stdout);
  dup2(saved_fd_, fileno(stdout));
  close(saved_fd_);
  QFile::remove(path_);
}

}  // namespace quorlan::test

namespace quorlan::test {

QString engine_python() {
  const QString chosen = qEnvironmentVariable("QUORLAN_PYTHON");
  if (!chosen.isEmpty()) return chosen;
  const QString venv = QDir::homePath() + "/.cache/quorlan-studio/engine-venv/bin/python";
  return QFileInfo::exists(venv) ? venv : QString();
}

void write_png_with_bad_profile(const QString& path, int width, int height) {
  QImage image(width, height, QImage::Format_Grayscale8);
  image.fill(120);
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  const auto crc32 = [](const QByteArray& data) {
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
      crc ^= static_cast<unsigned char>(byte);
      for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
  };
  const auto be32 = [](quint32 v) {
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    return b;
  };
  // A profile of 200 zero bytes: named, compressed, and far too short to be one.
  const QByteArray body = QByteArray("iCCPicc") + '\0' + '\0' + qCompress(QByteArray(200, '\0')).mid(4);
  const QByteArray chunk = be32(static_cast<quint32>(body.size() - 4)) + body + be32(crc32(body));
  const qsizetype after_header = 8 + 25;  // signature, then the IHDR chunk
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(png.left(after_header) + chunk + png.mid(after_header));
}

}  // namespace quorlan::test

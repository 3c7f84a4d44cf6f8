#pragma once
// Console text from the engine: decoded, cleaned of escape codes and carriage returns, and
// handed on piece by piece. An escape code split across two pieces is held back until whole.
#include <QString>
#include <QStringDecoder>
#include <functional>

namespace quorlan {

class ConsoleStream {
 public:
  explicit ConsoleStream(std::function<void(const QString&)> signal) : signal_(std::move(signal)) {}

  // Bytes as they arrive from the engine's console.
  void write_bytes(const QByteArray& bytes);
  // Text as the engine wrote it; nothing is passed on when it cleans to nothing.
  void write(const QString& text);
  void flush();
  bool isatty() const { return true; }

 private:
  std::function<void(const QString&)> signal_;
  QStringDecoder decoder_{QStringDecoder::Utf8};
  QString pending_;
};

}  // namespace quorlan

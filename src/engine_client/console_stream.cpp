#include "engine_client/console_stream.h"

#include "core/constants.h"

namespace quorlan {

void ConsoleStream::write_bytes(const QByteArray& bytes) { write(decoder_.decode(bytes)); }

void ConsoleStream::write(const QString& text) {
  if (text.isEmpty()) return;
  QString whole = pending_ + text;
  pending_.clear();
  // Hold back an escape sequence that has not reached its final byte yet.
  const int esc = whole.lastIndexOf(QChar(0x1B));
  if (esc >= 0) {
    const QString rest = whole.mid(esc + 1);
    bool complete = false;
    if (!rest.isEmpty() && rest[0] != '[') {
      complete = true;
    } else if (rest.size() > 1) {
      for (int i = 1; i < rest.size(); ++i)
        if (rest[i].unicode() >= '@' && rest[i].unicode() <= '~') {
          complete = true;
          break;
        }
    }
    if (!complete && rest.size() < 32) {
      pending_ = whole.mid(esc);
      whole.truncate(esc);
    }
  }
  const QString cleaned = clean_console_text(whole);
  if (!cleaned.isEmpty()) signal_(cleaned);
}

void ConsoleStream::flush() {
  if (pending_.isEmpty()) return;
  const QString cleaned = clean_console_text(pending_);
  pending_.clear();
  if (!cleaned.isEmpty()) signal_(cleaned);
}

}  // namespace quorlan

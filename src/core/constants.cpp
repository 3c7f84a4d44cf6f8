#include "core/constants.h"

namespace quorlan {

std::optional<double> inches_per_unit(const QString& unit) {
  for (const auto& [name, inches] : unit_to_inches)
    if (name == unit) return inches;
  return std::nullopt;
}

const QRegularExpression& ANSI_ESCAPE() {
  static const QRegularExpression re(
      QStringLiteral(R"(\x1B(?:[@-Z\\-_]|\[[0-?]*[ -/]*[@-~])|\x1b\[[0-9;]*[a-zA-Z]|\[\d+m|\[\d+;\d+m|\[0m)"));
  return re;
}

QString clean_console_text(const QString& text) {
  QString out = text;
  out.remove(ANSI_ESCAPE());
  out.remove(QChar('\r'));
  return out;
}

}  // namespace quorlan

#include "core/console_messages.h"

#include <QtGlobal>

namespace quorlan {
namespace {
QtMessageHandler previous = nullptr;

void filtered(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (is_library_noise(message)) return;
  if (previous) previous(type, context, message);
}
}  // namespace

bool is_library_noise(const QString& message) {
  return message.startsWith(QLatin1String("libpng warning: iCCP:")) ||
         message.startsWith(QLatin1String("libpng warning: iCCP "));
}

void quiet_library_noise() {
  QtMessageHandler installed = qInstallMessageHandler(filtered);
  if (installed != filtered) previous = installed;
}

}  // namespace quorlan

#include "widgets/settings_store.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QWidget>

#include "core/atomic_file.h"

namespace quorlan {
namespace {

std::unique_ptr<QSettings>& store() {
  static std::unique_ptr<QSettings> installed;
  return installed;
}

QString dialog_key(const QWidget* parent, const QString& title) {
  // The tab the dialog is asked from: the nearest widget named "tab_...".
  QString scope = QStringLiteral("window");
  for (const QWidget* w = parent; w; w = w->parentWidget())
    if (w->objectName().startsWith(QLatin1String("tab_"))) {
      scope = w->objectName();
      break;
    }
  // Titles may hold characters QSettings reads as groups.
  QString key = title;
  key.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
  return QStringLiteral("dialogs/%1/%2").arg(scope, key);
}

// INI text as QSettings writes it (whose own reader takes almost anything without a complaint):
// UTF-8 without NULs, each line a [group], a key=value or a comment.
bool looks_like_ini(const QByteArray& bytes) {
  if (bytes.contains('\0') || !QUtf8StringView(bytes).isValidUtf8()) return false;
  for (const QByteArray& raw : bytes.split('\n')) {
    const QByteArray line = raw.trimmed();
    if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) continue;
    if (!(line.startsWith('[') && line.endsWith(']')) && !line.contains('=')) return false;
  }
  return true;
}

}  // namespace

QSettings* settings_store() { return store().get(); }

OpenedSettings open_settings_file(const QString& path) {
  OpenedSettings opened;
  opened.store = std::make_unique<QSettings>(path, QSettings::IniFormat);
  const QFileInfo info(path);
  if (!info.exists() && !info.isSymLink()) return opened;
  if (is_regular_file(path) && info.size() < (16 << 20) && opened.store->status() == QSettings::NoError) {
    const Expected<QByteArray> bytes = read_regular_file(path);
    if (bytes && looks_like_ini(*bytes)) return opened;
  }
  opened.store.reset();
  const QString aside =
      path + QStringLiteral(".unreadable-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  if (QFile::rename(path, aside)) {
    opened.store = std::make_unique<QSettings>(path, QSettings::IniFormat);
    opened.problem = QStringLiteral(
                         "The settings file %1 could not be read; the studio starts with its defaults. "
                         "The file was kept as %2.")
                         .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(aside));
  } else {
    opened.problem = QStringLiteral(
                         "The settings file %1 could not be read, nor moved aside; nothing is remembered "
                         "this time.")
                         .arg(QDir::toNativeSeparators(path));
  }
  return opened;
}

std::unique_ptr<QSettings> install_settings_store(std::unique_ptr<QSettings> replacement) {
  std::swap(store(), replacement);
  return replacement;
}

QString remembered_dialog_folder(const QWidget* parent, const QString& title) {
  QSettings* settings = settings_store();
  if (!settings) return {};
  const QString folder = settings->value(dialog_key(parent, title)).toString();
  return QFileInfo(folder).isDir() ? folder : QString();
}

void remember_dialog_answer(const QWidget* parent, const QString& title, const QString& answer, bool is_folder) {
  QSettings* settings = settings_store();
  if (!settings || answer.isEmpty()) return;
  settings->setValue(dialog_key(parent, title), is_folder ? answer : QFileInfo(answer).absolutePath());
}

}  // namespace quorlan

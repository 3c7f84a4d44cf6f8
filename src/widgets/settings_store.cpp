#include "widgets/settings_store.h"

#include <QFileInfo>
#include <QWidget>

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

}  // namespace

QSettings* settings_store() { return store().get(); }

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

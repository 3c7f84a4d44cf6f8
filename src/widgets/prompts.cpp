#include "widgets/prompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "widgets/settings_store.h"

namespace quorlan {

void fit_title(QWidget& dialog) {
  // Room for the title and the window manager's buttons beside it.
  const int title = dialog.fontMetrics().horizontalAdvance(dialog.windowTitle()) + 160;
  dialog.setMinimumWidth(std::max(dialog.minimumWidth(), title));
}
namespace {
std::unique_ptr<UserPrompts>& installed() {
  static std::unique_ptr<UserPrompts> current = std::make_unique<QtPrompts>();
  return current;
}
}  // namespace

UserPrompts& prompts() { return *installed(); }

std::unique_ptr<UserPrompts> install_prompts(std::unique_ptr<UserPrompts> replacement) {
  std::unique_ptr<UserPrompts> previous = std::move(installed());
  installed() = replacement ? std::move(replacement) : std::make_unique<QtPrompts>();
  return previous;
}

// The studio's own file dialog, never the platform's: it follows the theme (a desktop's native
// dialog stays light inside the dark studio). Each dialog opens where the same dialog was
// answered last time, when the studio remembers.
namespace {
constexpr QFileDialog::Options kDialogOptions = QFileDialog::DontUseNativeDialog;
QString start_in(const QWidget* parent, const QString& title, const QString& dir) {
  return dir.isEmpty() ? remembered_dialog_folder(parent, title) : dir;
}
}  // namespace

QString QtPrompts::get_existing_directory(QWidget* parent, const QString& title, const QString& dir) {
  const QString answer = QFileDialog::getExistingDirectory(parent, title, start_in(parent, title, dir),
                                                           kDialogOptions | QFileDialog::ShowDirsOnly);
  remember_dialog_answer(parent, title, answer, true);
  return answer;
}

QString QtPrompts::get_open_file_name(QWidget* parent, const QString& title, const QString& dir,
                                      const QString& filter) {
  const QString answer =
      QFileDialog::getOpenFileName(parent, title, start_in(parent, title, dir), filter, nullptr, kDialogOptions);
  remember_dialog_answer(parent, title, answer, false);
  return answer;
}

QStringList QtPrompts::get_open_file_names(QWidget* parent, const QString& title, const QString& dir,
                                           const QString& filter) {
  const QStringList answer =
      QFileDialog::getOpenFileNames(parent, title, start_in(parent, title, dir), filter, nullptr, kDialogOptions);
  if (!answer.isEmpty()) remember_dialog_answer(parent, title, answer.first(), false);
  return answer;
}

QString QtPrompts::get_save_file_name(QWidget* parent, const QString& title, const QString& dir,
                                      const QString& filter) {
  const QString answer =
      QFileDialog::getSaveFileName(parent, title, start_in(parent, title, dir), filter, nullptr, kDialogOptions);
  remember_dialog_answer(parent, title, answer, false);
  return answer;
}

int QtPrompts::choose(QWidget* parent, const QString& title, const QString& text, const QStringList& choices) {
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
  QList<QAbstractButton*> buttons;
  for (int i = 0; i < choices.size(); ++i)
    buttons << box.addButton(choices[i], i + 1 == choices.size() ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
  if (!buttons.isEmpty()) box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
  box.exec();
  return static_cast<int>(buttons.indexOf(box.clickedButton()));
}

QString QtPrompts::get_text(QWidget* parent, const QString& title, const QString& label, const QString& text) {
  QInputDialog dialog(parent);
  dialog.setWindowTitle(title);
  dialog.setLabelText(label);
  dialog.setTextValue(text);
  fit_title(dialog);
  return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

int QtPrompts::get_item(QWidget* parent, const QString& title, const QString& label, const QStringList& items) {
  QInputDialog dialog(parent);
  dialog.setWindowTitle(title);
  dialog.setLabelText(label);
  dialog.setComboBoxItems(items);
  dialog.setComboBoxEditable(false);
  fit_title(dialog);
  return dialog.exec() == QDialog::Accepted ? static_cast<int>(items.indexOf(dialog.textValue())) : -1;
}

void QtPrompts::message(QWidget* parent, MessageKind kind, const QString& title, const QString& text) {
  switch (kind) {
    case MessageKind::Information:
      QMessageBox::information(parent, title, text);
      break;
    case MessageKind::Warning:
      QMessageBox::warning(parent, title, text);
      break;
    case MessageKind::Critical:
      QMessageBox::critical(parent, title, text);
      break;
  }
}

int QtPrompts::exec_dialog(QDialog& dialog) { return dialog.exec(); }

}  // namespace quorlan

#pragma once
// The dialog seam: every file or folder dialog, message box and custom dialog the studio
// shows goes through the installed UserPrompts. The studio installs QtPrompts; tests install
// a scripted one that answers from a prepared list and records what was shown.
#include <QString>
#include <QStringList>
#include <memory>

class QDialog;
class QWidget;

namespace quorlan {

// A dialog at least as wide as its title needs, so that the window manager does not cut it.
void fit_title(QWidget& dialog);

enum class MessageKind { Information, Warning, Critical };

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // Each returns an empty answer when the user cancels.
  virtual QString get_existing_directory(QWidget* parent, const QString& title, const QString& dir = {}) = 0;
  virtual QString get_open_file_name(QWidget* parent, const QString& title, const QString& dir = {},
                                     const QString& filter = {}) = 0;
  virtual QStringList get_open_file_names(QWidget* parent, const QString& title, const QString& dir = {},
                                          const QString& filter = {}) = 0;
  virtual QString get_save_file_name(QWidget* parent, const QString& title, const QString& dir = {},
                                     const QString& filter = {}) = 0;

  virtual void message(QWidget* parent, MessageKind kind, const QString& title, const QString& text) = 0;

  // Runs a prepared dialog modally and returns its result code (QDialog::Accepted or Rejected).
  virtual int exec_dialog(QDialog& dialog) = 0;

  // A question with one button per choice; returns the index of the chosen one, or -1 when
  // the box was closed without a choice (which callers treat as the most cautious answer).
  virtual int choose(QWidget* parent, const QString& title, const QString& text, const QStringList& choices) = 0;

  // A line of text (`text` offered); empty when cancelled.
  virtual QString get_text(QWidget* parent, const QString& title, const QString& label, const QString& text = {}) = 0;
  // One of `items`; its index, or -1 when cancelled.
  virtual int get_item(QWidget* parent, const QString& title, const QString& label, const QStringList& items) = 0;

  void information(QWidget* parent, const QString& title, const QString& text) {
    message(parent, MessageKind::Information, title, text);
  }
  void warning(QWidget* parent, const QString& title, const QString& text) {
    message(parent, MessageKind::Warning, title, text);
  }
  void critical(QWidget* parent, const QString& title, const QString& text) {
    message(parent, MessageKind::Critical, title, text);
  }
};

// Opens real Qt dialogs.
class QtPrompts : public UserPrompts {
 public:
  QString get_existing_directory(QWidget* parent, const QString& title, const QString& dir) override;
  QString get_open_file_name(QWidget* parent, const QString& title, const QString& dir, const QString& filter) override;
  QStringList get_open_file_names(QWidget* parent, const QString& title, const QString& dir,
                                  const QString& filter) override;
  QString get_save_file_name(QWidget* parent, const QString& title, const QString& dir, const QString& filter) override;
  void message(QWidget* parent, MessageKind kind, const QString& title, const QString& text) override;
  int exec_dialog(QDialog& dialog) override;
  int choose(QWidget* parent, const QString& title, const QString& text, const QStringList& choices) override;
  QString get_text(QWidget* parent, const QString& title, const QString& label, const QString& text) override;
  int get_item(QWidget* parent, const QString& title, const QString& label, const QStringList& items) override;
};

// The installed prompts (QtPrompts until something else is installed).
UserPrompts& prompts();
// Installs `replacement` and returns the previous one.
std::unique_ptr<UserPrompts> install_prompts(std::unique_ptr<UserPrompts> replacement);

}  // namespace quorlan

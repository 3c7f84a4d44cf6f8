#pragma once
// A UserPrompts that answers from prepared lists and records what the studio showed.
#include <QList>
#include <QStringList>
#include <deque>
#include <functional>

#include "widgets/prompts.h"

namespace quorlan {

class ScriptedPrompts : public UserPrompts {
 public:
  struct Shown {
    MessageKind kind;
    QString title;
    QString text;
  };

  // Answers, taken from the front; an empty queue answers as a cancelled dialog.
  std::deque<QString> directories;
  std::deque<QString> open_files;
  std::deque<QStringList> open_file_lists;
  std::deque<QString> save_files;
  // Each custom dialog is handed to the next function, which may fill it and returns its result.
  std::deque<std::function<int(QDialog&)>> dialogs;

  // Answers to choose(): the index of the button; an empty queue answers -1 (closed).
  std::deque<int> choices;
  // Called as each choose() question or message is shown (a test frees the disk, or looks at the
  // window, while the user reads it).
  std::function<void()> while_asking;
  // Answers to get_text() (empty: cancelled) and get_item() (the index; empty queue: -1).
  std::deque<QString> texts;
  std::deque<int> items;

  QList<Shown> messages;      // choose() questions are recorded here too, as Warning
  QStringList asked_titles;   // titles of the file and folder dialogs, in order
  QStringList dialog_titles;  // window titles of the custom dialogs, in order

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

  // Installs a fresh scripted prompts and returns it (owned by the seam).
  static ScriptedPrompts* install();
};

}  // namespace quorlan

#include "support/scripted_prompts.h"

#include <QDialog>

namespace quorlan {
namespace {
template <typename T>
T take(std::deque<T>& queue) {
  if (queue.empty()) return T();
  T value = queue.front();
  queue.pop_front();
  return value;
}
}  // namespace

QString ScriptedPrompts::get_existing_directory(QWidget*, const QString& title, const QString&) {
  asked_titles << title;
  return take(directories);
}

QString ScriptedPrompts::get_open_file_name(QWidget*, const QString& title, const QString&, const QString&) {
  asked_titles << title;
  return take(open_files);
}

QStringList ScriptedPrompts::get_open_file_names(QWidget*, const QString& title, const QString&, const QString&) {
  asked_titles << title;
  return take(open_file_lists);
}

QString ScriptedPrompts::get_save_file_name(QWidget*, const QString& title, const QString&, const QString&) {
  asked_titles << title;
  return take(save_files);
}

void ScriptedPrompts::message(QWidget*, MessageKind kind, const QString& title, const QString& text) {
  messages.append({kind, title, text});
  if (while_asking) while_asking();
}

int ScriptedPrompts::choose(QWidget*, const QString& title, const QString& text, const QStringList&) {
  messages.append({MessageKind::Warning, title, text});
  if (while_asking) while_asking();
  if (choices.empty()) return -1;
  const int answer = choices.front();
  choices.pop_front();
  return answer;
}

QString ScriptedPrompts::get_text(QWidget*, const QString& title, const QString&, const QString&) {
  asked_titles << title;
  return take(texts);
}

int ScriptedPrompts::get_item(QWidget*, const QString& title, const QString&, const QStringList&) {
  asked_titles << title;
  if (items.empty()) return -1;
  return take(items);
}

int ScriptedPrompts::exec_dialog(QDialog& dialog) {
  dialog_titles << dialog.windowTitle();
  auto answer = take(dialogs);
  return answer ? answer(dialog) : QDialog::Rejected;
}

ScriptedPrompts* ScriptedPrompts::install() {
  auto scripted = std::make_unique<ScriptedPrompts>();
  ScriptedPrompts* raw = scripted.get();
  install_prompts(std::move(scripted));
  return raw;
}

}  // namespace quorlan

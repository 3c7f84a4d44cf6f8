#pragma once
// What the studio remembers between runs: the window, the panels, the theme and palette, the
// annotator's folder and the folders last used in each file dialog and path field. Nothing is
// remembered until a store is installed: the studio's main installs the user's settings file;
// tests install a temporary one (or none, and see the first start's defaults).
#include <QSettings>
#include <memory>

class QWidget;

namespace quorlan {

// The installed store, or nullptr.
QSettings* settings_store();
// Installs `store` (nullptr: nothing is remembered) and returns the previous one.
std::unique_ptr<QSettings> install_settings_store(std::unique_ptr<QSettings> store);

// The settings file at `path` (INI). One that cannot be read (not a file, or not INI text) is
// moved aside first, so the studio starts from its defaults without writing over it; `problem`
// then says so and where it went (the store is null when it could not be moved aside).
struct OpenedSettings {
  std::unique_ptr<QSettings> store;
  QString problem;
};
OpenedSettings open_settings_file(const QString& path);

// The folder a file dialog titled `title`, opened from `parent`'s tab, was answered in last time
// (empty when none or not remembered), and the answer to remember: a folder itself, or the
// folder of a file. Each tab keeps its own ("Select Output Directory" is asked by several).
QString remembered_dialog_folder(const QWidget* parent, const QString& title);
void remember_dialog_answer(const QWidget* parent, const QString& title, const QString& answer, bool is_folder);

}  // namespace quorlan

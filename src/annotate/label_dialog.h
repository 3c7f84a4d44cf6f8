#pragma once
#include <QDialog>
#include <QStringList>

class QComboBox;

namespace quorlan {

// Asks for the class of a finished shape: an existing name or a new one typed in.
class LabelDialog : public QDialog {
  Q_OBJECT
 public:
  LabelDialog(const QStringList& classes, const QString& last_label = {}, QWidget* parent = nullptr);

  QString get_label() const;
  // The position of the chosen entry when the text is that entry's (so one of two equal names
  // keeps its own id); -1 for typed text.
  int chosen_index() const;

  // Why `label` cannot be a class name (a line break or another control character), or empty.
  static QString label_problem(const QString& label);

  void accept() override;

 protected:
  // 1 to 9 pick the n-th class before anything is typed; after that they are text.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int class_count_ = 0;
  bool typed_ = false;

 public:
  QComboBox* combo = nullptr;
};

}  // namespace quorlan

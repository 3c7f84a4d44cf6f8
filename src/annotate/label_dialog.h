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

  QComboBox* combo = nullptr;
};

}  // namespace quorlan

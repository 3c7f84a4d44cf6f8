#pragma once
// The answer the scripted prompts give the annotator's label dialog.
#include <QDialog>
#include <QString>
#include <functional>

#include "annotate/label_dialog.h"

namespace quorlan::test {

// `text` typed into the dialog's combo, then OK (or Cancel).
inline std::function<int(QDialog&)> answer_label(const QString& text, bool ok = true) {
  return [text, ok](QDialog& dialog) -> int {
    static_cast<LabelDialog&>(dialog).combo->setCurrentText(text);
    return ok ? QDialog::Accepted : QDialog::Rejected;
  };
}

}  // namespace quorlan::test

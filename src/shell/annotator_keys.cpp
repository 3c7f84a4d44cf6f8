#include "shell/annotator_keys.h"

#include <QStringList>

namespace quorlan {

namespace {

constexpr int kCtrl = static_cast<int>(Qt::CTRL);

QKeySequence ctrl(Qt::Key key) { return QKeySequence(kCtrl | key); }

}  // namespace

const std::vector<AnnotatorKey>& annotator_keys() {
  using C = AnnotatorCommand;
  static const std::vector<AnnotatorKey> table = {
      {C::Next, {Qt::Key_D, Qt::Key_Right}, "D/→", "next", true},
      {C::Previous, {Qt::Key_A, Qt::Key_Left}, "A/←", "previous", true},
      {C::ModeSelect, {Qt::Key_S}, "S", "the modes"},
      {C::ModePolygon, {Qt::Key_P}, "P", "the modes"},
      {C::ModeRectangle, {Qt::Key_R}, "R", "the modes"},
      {C::ModeCircle, {Qt::Key_C}, "C", "the modes"},
      {C::ModePentagon, {Qt::Key_G}, "G", "the modes"},
      {C::ModeAiPolygon, {Qt::Key_I}, "I", "the modes"},
      {C::ModeAiBox, {Qt::Key_B}, "B", "the modes"},
      {C::ModeRefineBox, {Qt::Key_T}, "T", "the modes"},
      {C::Undo, {ctrl(Qt::Key_Z)}, "Ctrl+Z", "undo and redo"},
      {C::Redo, {QKeySequence(kCtrl | Qt::SHIFT | Qt::Key_Z), ctrl(Qt::Key_Y)}, "Ctrl+Y", "undo and redo"},
      {C::CopyPrevious, {ctrl(Qt::Key_D)}, "Ctrl+D", "copy the previous frame"},
      {C::PreviousKeyframe, {Qt::Key_Comma}, "Comma", "the track's previous and next keyframe"},
      {C::NextKeyframe, {Qt::Key_Period}, "Period", "the track's previous and next keyframe"},
      {C::ConfirmEmpty, {Qt::Key_E}, "E", "no objects"},
      {C::DeleteShapes, {Qt::Key_Delete}, "Delete", "the picked shapes"},
      {C::Relabel, {Qt::Key_Return, Qt::Key_Enter, Qt::Key_F2}, "Enter or F2", "its class"},
      {C::ZoomIn, {ctrl(Qt::Key_Plus), ctrl(Qt::Key_Equal)}, "Ctrl++", "zoom"},
      {C::ZoomOut, {ctrl(Qt::Key_Minus)}, "Ctrl+-", "zoom"},
      {C::Fit, {Qt::Key_F, ctrl(Qt::Key_0)}, "F or Ctrl+0", "fit"},
      {C::Save, {ctrl(Qt::Key_S)}, "Ctrl+S", "save"},
      {C::OpenFolder, {ctrl(Qt::Key_O)}, "Ctrl+O", "open a folder"},
      {C::ToggleQueue, {ctrl(Qt::Key_BracketLeft)}, "Ctrl+[ ", "hide or show the side panels"},
      {C::TogglePanel, {ctrl(Qt::Key_BracketRight)}, " Ctrl+]", "hide or show the side panels"},
      {C::Escape, {Qt::Key_Escape}, "Escape", "back to the picture from a field"},
      {C::TabOut, {}, "Tab", "out of the picture"},
      {C::AcceptFinding, {Qt::Key_Y}, "Y", "takes the model's version"},
      {C::DismissFinding, {Qt::Key_N}, "N", "dismisses the finding"},
      {C::RemoveLastPoint, {Qt::Key_Backspace}, nullptr, nullptr},
  };
  return table;
}

const AnnotatorKey* annotator_key_for(int key) {
  for (const AnnotatorKey& row : annotator_keys())
    for (const QKeySequence& sequence : row.keys)
      if (sequence[0].toCombined() == key) return &row;
  return nullptr;
}

QString annotator_keys_text(AnnotatorCommand command) {
  QStringList names;
  for (const AnnotatorKey& row : annotator_keys())
    if (row.command == command)
      for (const QKeySequence& sequence : row.keys) names << sequence.toString(QKeySequence::NativeText);
  return names.join(" or ");
}

QString annotator_key_text(AnnotatorCommand command) {
  for (const AnnotatorKey& row : annotator_keys())
    if (row.command == command && !row.keys.isEmpty()) return row.keys.first().toString(QKeySequence::NativeText);
  return {};
}

QString annotator_keys_guide() {
  // Rows in table order; those sharing their words are named once. A label review's keys close
  // the line in a sentence of their own.
  QStringList phrases;
  QString what;
  QString keys;
  const auto flush = [&] {
    if (!what.isEmpty()) phrases << keys + " " + what;
  };
  for (const AnnotatorKey& row : annotator_keys()) {
    if (!row.guide_what || row.command == AnnotatorCommand::AcceptFinding ||
        row.command == AnnotatorCommand::DismissFinding)
      continue;
    if (what == QLatin1String(row.guide_what)) {
      keys += "/" + QString::fromUtf8(row.guide_keys);
      continue;
    }
    flush();
    what = QString::fromUtf8(row.guide_what);
    keys = QString::fromUtf8(row.guide_keys);
  }
  flush();
  const auto review = [](AnnotatorCommand command) {
    for (const AnnotatorKey& row : annotator_keys())
      if (row.command == command) return QString::fromUtf8(row.guide_keys) + " " + QString::fromUtf8(row.guide_what);
    return QString();
  };
  return phrases.join(", ") + "; in a label review, " + review(AnnotatorCommand::AcceptFinding) + " and " +
         review(AnnotatorCommand::DismissFinding) + ".";
}

}  // namespace quorlan

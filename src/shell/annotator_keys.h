#pragma once
// The annotator's keys, in one table: the window's shortcuts, the annotator's handling of them,
// the guide's "Keys:" line and the tooltips that name a key are all read from it.
#include <QKeySequence>
#include <QList>
#include <QString>
#include <vector>

namespace quorlan {

enum class AnnotatorCommand {
  Next,
  Previous,
  ModeSelect,
  ModePolygon,
  ModeRectangle,
  ModeCircle,
  ModePentagon,
  ModeAiPolygon,
  ModeAiBox,
  ModeRefineBox,
  Undo,
  Redo,
  CopyPrevious,
  ConfirmEmpty,
  DeleteShapes,
  Relabel,
  ZoomIn,
  ZoomOut,
  Fit,
  Save,
  OpenFolder,
  ToggleQueue,
  TogglePanel,
  Escape,         // ends a drawing; in a field, back to the picture
  TabOut,         // Qt's own focus key: only named in the guide
  AcceptFinding,  // in a label review
  DismissFinding,
  RemoveLastPoint,  // Backspace while a polygon is drawn (Delete's second key otherwise)
  NextKeyframe,     // on a folder of frames: the picked track's keyframes
  PreviousKeyframe,
};

struct AnnotatorKey {
  AnnotatorCommand command;
  QList<QKeySequence> keys;
  // The guide's words: `guide_keys` then `guide_what`; rows sharing a `guide_what` are named once,
  // their keys joined by `/` ("Ctrl+Z/Ctrl+Y undo and redo").
  const char* guide_keys;
  const char* guide_what;
  bool repeats = false;  // held down, it repeats (the arrows)
};

const std::vector<AnnotatorKey>& annotator_keys();
// The command bound to `key` (a key with its modifiers), if any.
const AnnotatorKey* annotator_key_for(int key);
// The keys of `command` as a tooltip names them: "F or Ctrl+0".
QString annotator_keys_text(AnnotatorCommand command);
// The first key of `command` only: "Ctrl++".
QString annotator_key_text(AnnotatorCommand command);
// The guide's "Keys:" line.
QString annotator_keys_guide();

}  // namespace quorlan

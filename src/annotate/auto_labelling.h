#pragma once
// Auto-labelling without widgets: what a model's prediction on the picture adds to its document.
#include <QHash>
#include <QString>
#include <QVector>
#include <functional>

#include "core/annotation_document.h"
#include "core/prediction.h"

namespace quorlan {

// The shapes a prediction adds, of `kind` (in a box folder a mask becomes its bounding box), each
// of the class `class_for(name)` gives for the model's name of it (the prediction's own names
// first, then `model_names`, then its number; a name is cleaned first, since one with a line
// break would split classes.txt and shift every later id).
QVector<Annotation> predicted_shapes(const Prediction& prediction, const QHash<int, QString>& model_names,
                                     const std::function<int(const QString&)>& class_for, LabelKind kind);

// What the user is told once `added` shapes were added ("AI Success").
QString auto_label_summary(int added, bool masks_as_boxes, int dropped);

}  // namespace quorlan

#include "annotate/auto_labelling.h"

#include <algorithm>

#include "core/label_files.h"

namespace quorlan {

QVector<Annotation> predicted_shapes(const Prediction& prediction, const QHash<int, QString>& model_names,
                                     const std::function<int(const QString&)>& class_for, LabelKind kind) {
  const auto id_of = [&](int cls) {
    const QString name = clean_class_name(prediction.names.value(cls, model_names.value(cls, QString::number(cls))));
    return class_for(name.isEmpty() ? QString::number(cls) : name);
  };
  QVector<Annotation> found;
  if (prediction.masks) {
    const int n = static_cast<int>(std::min(prediction.masks->size(), prediction.boxes.size()));
    for (int i = 0; i < n; ++i)
      found << drawn_annotation(id_of(prediction.boxes[i].cls), kind, (*prediction.masks)[i], "AI Polygon");
  } else {
    for (const Detection& d : prediction.boxes)
      found << drawn_annotation(id_of(d.cls), kind, d.corners(), "AI Rectangle");
  }
  return found;
}

QString auto_label_summary(int added, bool masks_as_boxes, int dropped) {
  return QStringLiteral("Successfully auto-labeled %1 object(s).").arg(added) +
         (masks_as_boxes
              ? QStringLiteral("\n\nThis folder's labels are boxes: each mask was saved as its bounding box.")
              : QString()) +
         (dropped > 0 ? "\n\n" + dropped_text(dropped) : QString());
}

}  // namespace quorlan

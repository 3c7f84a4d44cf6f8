#include "review/finding_queue.h"

#include <QFileInfo>

#include "core/label_files.h"

namespace quorlan {

namespace {

// The label of `finding` is still the one reviewed: an edit since may have moved or changed it.
bool label_unchanged(const ReviewFinding& finding, const QVector<Annotation>& shapes) {
  if (finding.label_row < 0) return true;
  if (finding.label_row >= shapes.size()) return false;
  const Annotation& shape = shapes[finding.label_row];
  const QRectF box = shape.points.boundingRect();
  return shape.class_id == finding.label_cls && (box.topLeft() - finding.label_box.topLeft()).manhattanLength() < 1 &&
         (box.bottomRight() - finding.label_box.bottomRight()).manhattanLength() < 1;
}

}  // namespace

void FindingQueue::reset(QVector<ReviewFinding> findings, QHash<int, QString> model_names,
                         ReviewDismissals dismissals) {
  findings_ = std::move(findings);
  model_names_ = std::move(model_names);
  dismissals_ = std::move(dismissals);
}

void FindingQueue::clear() {
  findings_.clear();
  model_names_.clear();
  dismissals_.reset();
}

QVector<FindingRow> FindingQueue::rows(const FindingFilter& filter, const QStringList& classes) const {
  const auto class_name = [&](int id) { return id >= 0 && id < classes.size() ? classes[id] : QString::number(id); };
  QVector<FindingRow> rows;
  for (int i = 0; i < findings_.size(); ++i) {
    const ReviewFinding& f = findings_[i];
    if (filter.kind >= 0 && static_cast<int>(f.kind) != filter.kind) continue;
    // A missing object is of the class whose name the model gives it.
    const int subject = f.label_row >= 0 ? f.label_cls : -1;
    if (filter.class_id >= 0 && subject != filter.class_id &&
        !(f.label_row < 0 && class_name(filter.class_id) == model_names_.value(f.predicted_cls)))
      continue;
    const bool dismissed = dismissals_ && dismissals_->contains(f);
    if (dismissed && !filter.with_dismissed) continue;
    const QString what = f.label_row >= 0 ? class_name(f.label_cls) : model_name(f.predicted_cls);
    QString text = QStringLiteral("%1  %2 · %3 · %4")
                       .arg(f.score, 0, 'f', 2)
                       .arg(finding_kind_name(f.kind), what, QFileInfo(f.picture).fileName());
    if (f.kind == FindingKind::WrongClass) text += " → " + model_name(f.predicted_cls);
    if (dismissed) text += " (dismissed)";
    rows.push_back({i, text, QStringLiteral("%1 in %2").arg(finding_kind_name(f.kind), f.picture)});
  }
  return rows;
}

FindingQueue::Taken FindingQueue::take(int index, AnnotationDocument& document,
                                       const std::function<int(const QString&)>& class_for, LabelKind new_kind) {
  if (index < 0 || index >= findings_.size()) return Taken::Unchanged;
  const ReviewFinding f = findings_[index];
  if (!label_unchanged(f, document.shapes())) return Taken::LabelChanged;
  bool edited = false;
  switch (f.kind) {
    case FindingKind::MissingObject:
      edited = document.add(QStringLiteral("Take the Model's Object"),
                            {drawn_annotation(class_for(model_name(f.predicted_cls)), new_kind, f.predicted_outline(),
                                              QStringLiteral("Model Review"))});
      break;
    case FindingKind::WrongClass:
      edited = document.set_class(f.label_row, class_for(model_name(f.predicted_cls)));
      break;
    case FindingKind::LooseBox: {
      // A box takes the predicted box; a polygon the predicted outline, where the model gives one.
      const QPolygonF shape =
          document.shapes()[f.label_row].is_box() ? box_corners(f.predicted_box) : f.predicted_outline();
      edited = document.set_points(f.label_row, shape, QStringLiteral("Take the Model's Box"));
      break;
    }
    case FindingKind::LabelOnNothing:
      edited = document.remove({f.label_row});
      break;
  }
  if (!edited) return Taken::Unchanged;
  findings_.removeAt(index);
  if (f.kind == FindingKind::LabelOnNothing)
    for (ReviewFinding& other : findings_)
      if (other.picture == f.picture && other.label_row > f.label_row) --other.label_row;
  return Taken::Done;
}

Status FindingQueue::toggle_dismissed(int index) {
  if (index < 0 || index >= findings_.size() || !dismissals_) return failure(QStringLiteral("No such finding."));
  const ReviewFinding& f = findings_[index];
  return dismissals_->set(f, !dismissals_->contains(f));
}

}  // namespace quorlan

#pragma once
// A model's answers held against the labels of one picture: the places where they disagree in a
// way that is likely a labelling mistake, each scored in [0, 1] (how likely it is a real mistake)
// so that a person reviews the worst first. Pure functions; no model, no files.
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QVector>
#include <optional>

#include "core/prediction.h"

namespace quorlan {

enum class FindingKind {
  MissingObject,   // a confident prediction with no label near it
  LabelOnNothing,  // a label no prediction supports
  WrongClass,      // a label whose box a confident prediction of another class covers
  LooseBox,        // a label matched by a prediction of its class, but loosely
};
// Every kind, in the enum's order.
inline constexpr FindingKind kFindingKinds[] = {FindingKind::MissingObject, FindingKind::LabelOnNothing,
                                                FindingKind::WrongClass, FindingKind::LooseBox};

// "missing object", "label on nothing", "wrong class", "loose box".
QString finding_kind_name(FindingKind kind);
// The kind of a name finding_kind_name gives (or its key: "missing", "nothing", "class", "loose").
std::optional<FindingKind> finding_kind_from_name(const QString& name);
QString finding_kind_key(FindingKind kind);

// A label as the review sees it: its row in the picture's shapes, class and bounding box (pixels).
struct ReviewLabel {
  int row = 0;
  int cls = 0;
  QRectF box;
};

struct ReviewFinding {
  FindingKind kind = FindingKind::MissingObject;
  double score = 0;
  QString picture;
  int label_row = -1;  // the label concerned (not for a missing object)
  int label_cls = -1;
  QRectF label_box;
  int predicted_cls = -1;  // the prediction concerned (not for a label on nothing)
  double predicted_conf = 0;
  QRectF predicted_box;
  QPolygonF predicted_shape;  // the predicted outline of a segmentation model, else empty
  // The model's shape: its outline where it gives one, else its box's four corners.
  QPolygonF predicted_outline() const;
  // The same finding the next time the same labels are reviewed (dismissals are kept by it); with
  // `base`, the picture is named relative to that folder, so the key survives a moved dataset.
  QString key(const QString& base = {}) const;
};

struct ReviewSettings {
  double match_iou = 0.5;  // a prediction this close to a label is about that label
  double tight_iou = 0.9;  // a matched label this tight is not loose at all
  double near_iou = 0.3;   // a prediction this far from every label has none near it
  // A prediction this confident shows there is an object (the engine's own predict threshold);
  // under it, less so in proportion.
  double sure_conf = 0.25;
};

// The findings of one picture, at most one per label (its likeliest mistake) and one per
// prediction with no label near it. Findings that are not mistakes at all (score 0) are left out.
QVector<ReviewFinding> review_picture(const QString& picture, const QVector<ReviewLabel>& labels,
                                      const Prediction& prediction, const ReviewSettings& settings = {});

// Worst first; equal scores in a fixed order (picture, kind, label row, predicted box), so the
// same review always lists the same way.
void rank_findings(QVector<ReviewFinding>& findings);

double box_iou(const QRectF& a, const QRectF& b);

}  // namespace quorlan

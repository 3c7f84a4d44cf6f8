#pragma once
// A model's answers held against the labels of one picture: the places where they disagree in a
// way that is likely a labelling mistake, each scored in [0, 1] (how likely it is a real mistake)
// so that a person reviews the worst first. Pure functions; no model, no files.
#include <QMap>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QVector>
#include <optional>
#include <utility>

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
  int row = 0;   // as the annotator numbers the shapes
  int line = 0;  // 1-based line of the label file, 0 when not known
  int cls = 0;
  QRectF box;
};

struct ReviewFinding {
  FindingKind kind = FindingKind::MissingObject;
  double score = 0;
  QString picture;
  int label_row = -1;  // the label concerned (not for a missing object)
  int label_line = 0;  // its line in the label file (1-based; 0 when not known)
  int label_cls = -1;
  QRectF label_box;
  int predicted_cls = -1;  // the prediction concerned (not for a label on nothing)
  double predicted_conf = 0;
  QRectF predicted_box;
  QPolygonF predicted_shape;  // the predicted outline of a segmentation model, else empty
  // What breaks a tie of scores: the model's graded word behind the finding (for a label on
  // nothing, how little of anything it sees there), then the size of the object (in pixels).
  double evidence = 0;
  double area = 0;
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
  // A prediction with no label near it is listed as a missing object from this score on: the faint
  // ones (the review looks down to 0.001 for the labels' support) would bury the list.
  double least_missing = 0.05;
};

// How far the model's word goes on the reviewed folder, measured there: how often a prediction of a
// given confidence is a labelled object (precision by confidence, rising), and how many of the
// labelled objects it finds at the operating threshold (recall). Fitted, every kind of finding is
// scored on this one scale; unfitted, confidences are taken as they are.
struct ReviewCalibration {
  bool fitted = false;
  QVector<std::pair<double, double>> curve;  // (confidence, precision), confidence rising
  double recall = 1.0;
  // The chance that a prediction of this confidence is a real object.
  double precision_at(double conf) const;
};

// The findings of one picture, at most one per label (its likeliest mistake) and one per
// prediction with no label near it. Findings that are not mistakes at all (score 0) are left out.
// `evidence` of each finding breaks ties of its score (see ReviewFinding::evidence).
QVector<ReviewFinding> review_picture(const QString& picture, const QVector<ReviewLabel>& labels,
                                      const Prediction& prediction, const ReviewSettings& settings = {},
                                      const ReviewCalibration& calibration = {});

// Worst first; equal scores by their evidence (the model's graded support, then the object's size),
// and only findings alike in all of that in a fixed order, so the same review always lists the same
// way and no order comes from names.
void rank_findings(QVector<ReviewFinding>& findings);

// One picture's labels and the model's answer, as the measure of the model below needs them.
struct ReviewedPicture {
  QVector<ReviewLabel> labels;
  Prediction prediction;
};

// How well the model sees the reviewed labels: at the operating threshold, the labels it finds
// (same class, IoU >= 0.5, each prediction used once), overall and per class; mAP50 over all its
// predictions.
struct ModelCheck {
  double threshold = 0.25;
  int labels = 0;
  int found = 0;
  QMap<int, std::pair<int, int>> per_class;  // class: labels, found
  double map50 = 0;
  double recall() const { return labels > 0 ? found / static_cast<double>(labels) : 0.0; }
  // Too weak to judge these labels: it finds under half of them.
  bool too_weak() const { return labels > 0 && recall() < 0.5; }
};
ModelCheck check_model(const QVector<ReviewedPicture>& pictures, const ReviewSettings& settings = {});
// The precision curve and recall of the model on these pictures; unfitted below this many labels
// (or predictions), too few to measure a model by.
inline constexpr int kMinCalibrationLabels = 30;
ReviewCalibration calibrate(const QVector<ReviewedPicture>& pictures, const ReviewSettings& settings = {});
// "The model finds 23% of the reviewed labels (41 of 178) at confidence 0.25; mAP50 0.27." and, when
// it is too weak, what that means and what to do.
QString model_check_text(const ModelCheck& check);

double box_iou(const QRectF& a, const QRectF& b);

}  // namespace quorlan

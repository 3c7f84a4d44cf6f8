#include "review/label_review.h"

#include <QDir>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <tuple>

#include "core/label_files.h"

namespace quorlan {

namespace {

// Each kind's name (shown) and key (in dismissal keys), in the order of the enum.
struct KindNames {
  const char* name;
  const char* key;
};
constexpr KindNames kKindNames[] = {
    {"missing object", "missing"}, {"label on nothing", "nothing"}, {"wrong class", "class"}, {"loose box", "loose"}};
static_assert(std::size(kKindNames) == std::size(kFindingKinds), "a name and a key for every kind");

}  // namespace

QString finding_kind_name(FindingKind kind) { return QLatin1String(kKindNames[static_cast<int>(kind)].name); }

QString finding_kind_key(FindingKind kind) { return QLatin1String(kKindNames[static_cast<int>(kind)].key); }

std::optional<FindingKind> finding_kind_from_name(const QString& name) {
  for (FindingKind k : kFindingKinds)
    if (name == finding_kind_name(k) || name == finding_kind_key(k)) return k;
  return std::nullopt;
}

QString ReviewFinding::key(const QString& base) const {
  // Boxes rounded to whole pixels: a re-run of the same model gives the same key.
  const auto box = [](const QRectF& r) {
    return r.isNull() ? QStringLiteral("-")
                      : QStringLiteral("%1,%2,%3,%4")
                            .arg(std::lround(r.left()))
                            .arg(std::lround(r.top()))
                            .arg(std::lround(r.right()))
                            .arg(std::lround(r.bottom()));
  };
  return QStringLiteral("%1|%2|%3|%4|%5|%6")
      .arg(base.isEmpty() ? picture : QDir(base).relativeFilePath(picture), finding_kind_key(kind))
      .arg(label_cls)
      .arg(box(label_box))
      .arg(predicted_cls)
      .arg(box(predicted_box));
}

QPolygonF ReviewFinding::predicted_outline() const {
  return predicted_shape.size() >= 3 ? predicted_shape : box_corners(predicted_box);
}

double box_iou(const QRectF& a, const QRectF& b) {
  const QRectF inter = a.intersected(b);
  const double i = inter.isValid() ? inter.width() * inter.height() : 0.0;
  const double u = a.width() * a.height() + b.width() * b.height() - i;
  return u > 0 ? i / u : 0.0;
}

namespace {

double clamp01(double x) { return std::clamp(x, 0.0, 1.0); }

}  // namespace

QVector<ReviewFinding> review_picture(const QString& picture, const QVector<ReviewLabel>& labels,
                                      const Prediction& prediction, const ReviewSettings& s) {
  const QVector<Detection>& preds = prediction.boxes;
  const int nl = static_cast<int>(labels.size()), np = static_cast<int>(preds.size());
  std::vector<std::vector<double>> iou(nl, std::vector<double>(np, 0.0));
  for (int l = 0; l < nl; ++l)
    for (int p = 0; p < np; ++p) iou[l][p] = box_iou(labels[l].box, preds[p].box());

  QVector<ReviewFinding> found;
  const auto with_prediction = [&](ReviewFinding f, int p) {
    f.predicted_cls = preds[p].cls;
    f.predicted_conf = preds[p].conf;
    f.predicted_box = preds[p].box();
    if (prediction.masks && p < prediction.masks->size()) f.predicted_shape = (*prediction.masks)[p];
    return f;
  };
  for (int l = 0; l < nl; ++l) {
    const ReviewLabel& label = labels[l];
    ReviewFinding base;
    base.picture = picture;
    base.label_row = label.row;
    base.label_cls = label.cls;
    base.label_box = label.box;
    // The support of the label: the best prediction of its class, and of another class, over it.
    int same = -1, other = -1;
    double same_support = 0, other_support = 0, any_support = 0;
    for (int p = 0; p < np; ++p) {
      // A prediction shows there is something under a label: in full when it is as sure as the
      // engine's own threshold and half its area agrees.
      const double support = std::min(1.0, preds[p].conf / s.sure_conf) * std::min(1.0, iou[l][p] / s.match_iou);
      any_support = std::max(any_support, support);
      if (preds[p].cls == label.cls) {
        // The best support; of equals, the tightest (two sure predictions on one object).
        if (same < 0 || support > same_support || (support == same_support && iou[l][p] > iou[l][same]))
          same = p, same_support = support;
      } else if (iou[l][p] >= s.match_iou && (other < 0 || preds[p].conf > preds[other].conf)) {
        other = p, other_support = preds[p].conf;
      }
    }
    QVector<ReviewFinding> candidates;
    ReviewFinding nothing = base;
    nothing.kind = FindingKind::LabelOnNothing;
    nothing.score = 1.0 - any_support;
    candidates << nothing;
    if (other >= 0) {
      // Another class is confident here, and this label's own class is not.
      const double own = same >= 0 && iou[l][same] >= s.match_iou ? preds[same].conf : 0.0;
      ReviewFinding wrong = with_prediction(base, other);
      wrong.kind = FindingKind::WrongClass;
      wrong.score = clamp01(other_support * (1.0 - own));
      candidates << wrong;
    }
    if (same >= 0 && iou[l][same] > 0 && iou[l][same] < s.tight_iou) {
      // Matched by its own class, loosely: the looser and the surer the model, the likelier.
      ReviewFinding loose = with_prediction(base, same);
      loose.kind = FindingKind::LooseBox;
      const double looseness = clamp01((s.tight_iou - iou[l][same]) / (s.tight_iou - 0.2));
      // Was that prediction about another label that fits it better? Then it says nothing here.
      bool taken = false;
      for (int m = 0; m < nl; ++m)
        if (m != l && labels[m].cls == label.cls && iou[m][same] > iou[l][same]) taken = true;
      loose.score = taken ? 0.0 : clamp01(preds[same].conf * looseness);
      candidates << loose;
    }
    const auto worst =
        std::max_element(candidates.begin(), candidates.end(),
                         [](const ReviewFinding& a, const ReviewFinding& b) { return a.score < b.score; });
    if (worst->score > 0) found << *worst;
  }
  for (int p = 0; p < np; ++p) {
    double nearest = 0;
    for (int l = 0; l < nl; ++l) nearest = std::max(nearest, iou[l][p]);
    if (nearest >= s.near_iou) continue;
    ReviewFinding missing;
    missing.picture = picture;
    missing = with_prediction(missing, p);
    missing.kind = FindingKind::MissingObject;
    // Half-covered predictions are less likely a whole object left out.
    missing.score = clamp01(preds[p].conf * (1.0 - nearest / s.near_iou * 0.5));
    if (missing.score > 0) found << missing;
  }
  return found;
}

void rank_findings(QVector<ReviewFinding>& findings) {
  const auto order = [](const ReviewFinding& f) {
    return std::make_tuple(-f.score, f.picture, static_cast<int>(f.kind), f.label_row, f.predicted_box.left(),
                           f.predicted_box.top(), f.predicted_cls);
  };
  std::stable_sort(findings.begin(), findings.end(),
                   [&](const ReviewFinding& a, const ReviewFinding& b) { return order(a) < order(b); });
}

}  // namespace quorlan

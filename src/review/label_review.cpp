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

double ReviewCalibration::precision_at(double conf) const {
  if (curve.isEmpty()) return conf;
  if (conf <= curve.first().first) return curve.first().second;
  for (int i = 1; i < curve.size(); ++i)
    if (conf <= curve[i].first) {
      const auto& [c0, p0] = curve[i - 1];
      const auto& [c1, p1] = curve[i];
      return c1 > c0 ? p0 + (p1 - p0) * (conf - c0) / (c1 - c0) : p1;
    }
  return curve.last().second;
}

QVector<ReviewFinding> review_picture(const QString& picture, const QVector<ReviewLabel>& labels,
                                      const Prediction& prediction, const ReviewSettings& s,
                                      const ReviewCalibration& calibration) {
  const QVector<Detection>& preds = prediction.boxes;
  const int nl = static_cast<int>(labels.size()), np = static_cast<int>(preds.size());
  std::vector<std::vector<double>> iou(nl, std::vector<double>(np, 0.0));
  for (int l = 0; l < nl; ++l)
    for (int p = 0; p < np; ++p) iou[l][p] = box_iou(labels[l].box, preds[p].box());
  // The model's word for one prediction: fitted, the chance it is a real object on this folder;
  // else its confidence. Support of a label: as sure as the engine's own threshold counts in full
  // unfitted.
  const auto word = [&](int p) { return calibration.fitted ? calibration.precision_at(preds[p].conf) : preds[p].conf; };
  const auto sure = [&](int p) {
    return calibration.fitted ? calibration.precision_at(preds[p].conf) : std::min(1.0, preds[p].conf / s.sure_conf);
  };

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
    base.label_line = label.line;
    base.label_cls = label.cls;
    base.label_box = label.box;
    base.area = label.box.width() * label.box.height();
    // The support of the label: the best prediction of its class, and of another class, over it.
    int same = -1, other = -1;
    double same_support = 0, any_support = 0, any_overlap = 0;
    for (int p = 0; p < np; ++p) {
      // A prediction shows there is something under a label, in proportion to the model's word
      // and to how much of the label it covers.
      const double support = sure(p) * std::min(1.0, iou[l][p] / s.match_iou);
      any_support = std::max(any_support, support);
      any_overlap = std::max(any_overlap, preds[p].conf * iou[l][p]);
      if (preds[p].cls == label.cls) {
        // The best support; of equals, the tightest (two sure predictions on one object).
        if (same < 0 || support > same_support || (support == same_support && iou[l][p] > iou[l][same]))
          same = p, same_support = support;
      } else if (iou[l][p] >= s.match_iou && (other < 0 || preds[p].conf > preds[other].conf)) {
        other = p;
      }
    }
    QVector<ReviewFinding> candidates;
    ReviewFinding nothing = base;
    nothing.kind = FindingKind::LabelOnNothing;
    // No support is evidence of a mistake only as far as the model finds labelled objects at all.
    nothing.score = (1.0 - any_support) * (calibration.fitted ? calibration.recall : 1.0);
    nothing.evidence = 1.0 - any_overlap;  // the faintest glimpse of anything there still counts
    candidates << nothing;
    if (other >= 0) {
      // Another class is confident here, and this label's own class is not.
      const double own = same >= 0 && iou[l][same] >= s.match_iou ? word(same) : 0.0;
      ReviewFinding wrong = with_prediction(base, other);
      wrong.kind = FindingKind::WrongClass;
      wrong.score = clamp01(word(other) * (1.0 - own));
      wrong.evidence = preds[other].conf;
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
      loose.score = taken ? 0.0 : clamp01(word(same) * looseness);
      loose.evidence = preds[same].conf * looseness;
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
    missing.score = clamp01(word(p) * (1.0 - nearest / s.near_iou * 0.5));
    missing.evidence = preds[p].conf;
    missing.area = missing.predicted_box.width() * missing.predicted_box.height();
    // The faint predictions taken for the labels' support are no objects to add.
    if (missing.score >= s.least_missing) found << missing;
  }
  return found;
}

void rank_findings(QVector<ReviewFinding>& findings) {
  const auto order = [](const ReviewFinding& f) {
    return std::make_tuple(-f.score, -f.evidence, -f.area, static_cast<int>(f.kind), f.picture, f.label_row,
                           f.predicted_box.left(), f.predicted_box.top(), f.predicted_cls);
  };
  std::stable_sort(findings.begin(), findings.end(),
                   [&](const ReviewFinding& a, const ReviewFinding& b) { return order(a) < order(b); });
}

namespace {

// Each prediction of every picture, most confident first, marked whether it finds a label (same
// class, IoU >= match_iou, a label found once); the labels per class.
struct Matched {
  QVector<std::pair<double, int>> predictions;  // confidence, class
  QVector<bool> true_positive;
  QMap<int, int> labels_per_class;
};

Matched match_all(const QVector<ReviewedPicture>& pictures, double min_conf, const ReviewSettings& s) {
  Matched m;
  QVector<std::tuple<double, int, bool>> all;
  for (const ReviewedPicture& picture : pictures) {
    for (const ReviewLabel& label : picture.labels) ++m.labels_per_class[label.cls];
    QVector<int> order;
    for (int p = 0; p < picture.prediction.boxes.size(); ++p)
      if (picture.prediction.boxes[p].conf >= min_conf) order << p;
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return picture.prediction.boxes[a].conf > picture.prediction.boxes[b].conf; });
    QVector<bool> used(picture.labels.size(), false);
    for (int p : order) {
      const Detection& d = picture.prediction.boxes[p];
      int best = -1;
      double best_iou = s.match_iou;
      for (int l = 0; l < picture.labels.size(); ++l) {
        if (used[l] || picture.labels[l].cls != d.cls) continue;
        const double v = box_iou(picture.labels[l].box, d.box());
        if (v >= best_iou) best = l, best_iou = v;
      }
      if (best >= 0) used[best] = true;
      all << std::make_tuple(static_cast<double>(d.conf), d.cls, best >= 0);
    }
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return std::get<0>(a) > std::get<0>(b); });
  for (const auto& [conf, cls, tp] : all) {
    m.predictions << std::make_pair(conf, cls);
    m.true_positive << tp;
  }
  return m;
}

}  // namespace

ModelCheck check_model(const QVector<ReviewedPicture>& pictures, const ReviewSettings& s) {
  ModelCheck check;
  check.threshold = s.sure_conf;
  // Found at the operating threshold.
  const Matched at_threshold = match_all(pictures, s.sure_conf, s);
  for (auto it = at_threshold.labels_per_class.cbegin(); it != at_threshold.labels_per_class.cend(); ++it) {
    check.per_class[it.key()] = {it.value(), 0};
    check.labels += it.value();
  }
  for (int i = 0; i < at_threshold.predictions.size(); ++i)
    if (at_threshold.true_positive[i]) {
      ++check.found;
      ++check.per_class[at_threshold.predictions[i].second].second;
    }
  // AP50 per labelled class over every prediction (all-point interpolation), and their mean.
  const Matched all = match_all(pictures, 0.0, s);
  double ap_sum = 0;
  for (auto it = all.labels_per_class.cbegin(); it != all.labels_per_class.cend(); ++it) {
    QVector<std::pair<double, double>> pr;  // recall, precision
    int tp = 0, seen = 0;
    for (int i = 0; i < all.predictions.size(); ++i) {
      if (all.predictions[i].second != it.key()) continue;
      ++seen;
      tp += all.true_positive[i];
      pr << std::make_pair(tp / static_cast<double>(it.value()), tp / static_cast<double>(seen));
    }
    double ap = 0, previous_recall = 0;
    for (int i = 0; i < pr.size(); ++i) {
      double best_precision = 0;  // the precision envelope: the best at this recall or beyond
      for (int j = i; j < pr.size(); ++j) best_precision = std::max(best_precision, pr[j].second);
      ap += (pr[i].first - previous_recall) * best_precision;
      previous_recall = pr[i].first;
    }
    ap_sum += ap;
  }
  check.map50 = all.labels_per_class.isEmpty() ? 0.0 : ap_sum / all.labels_per_class.size();
  return check;
}

ReviewCalibration calibrate(const QVector<ReviewedPicture>& pictures, const ReviewSettings& s) {
  ReviewCalibration c;
  const Matched all = match_all(pictures, 0.0, s);
  // A handful of labels measures nothing: the confidences are then taken as they are.
  int labels = 0;
  for (const int n : all.labels_per_class) labels += n;
  if (labels < kMinCalibrationLabels || all.predictions.size() < kMinCalibrationLabels) return c;
  c.fitted = true;
  c.recall = check_model(pictures, s).recall();
  int tp_total = 0;
  for (bool tp : all.true_positive) tp_total += tp;
  const double overall = tp_total / static_cast<double>(all.predictions.size());
  // Bins of confidence; each bin's precision pulled towards the overall one when it holds few.
  const double edges[] = {0.0, 0.02, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.01};
  QVector<std::pair<double, double>> bins;  // mean confidence, precision
  QVector<double> weights;
  for (std::size_t b = 0; b + 1 < std::size(edges); ++b) {
    double conf_sum = 0;
    int n = 0, tp = 0;
    for (int i = 0; i < all.predictions.size(); ++i)
      if (all.predictions[i].first >= edges[b] && all.predictions[i].first < edges[b + 1]) {
        conf_sum += all.predictions[i].first;
        ++n;
        tp += all.true_positive[i];
      }
    if (n == 0) continue;
    bins << std::make_pair(conf_sum / n, (tp + 2 * overall) / (n + 2.0));
    weights << n + 2.0;
  }
  // A surer prediction is never less likely a real object: pool adjacent bins that say otherwise.
  for (bool pooled = true; pooled;) {
    pooled = false;
    for (int i = 0; i + 1 < bins.size(); ++i)
      if (bins[i].second > bins[i + 1].second) {
        const double w = weights[i] + weights[i + 1];
        const double p = (bins[i].second * weights[i] + bins[i + 1].second * weights[i + 1]) / w;
        bins[i].second = bins[i + 1].second = p;
        weights[i] = weights[i + 1] = w;
        pooled = true;
      }
  }
  c.curve = bins;
  return c;
}

QString model_check_text(const ModelCheck& check) {
  QString text = QStringLiteral("The model finds %1% of the reviewed labels (%2 of %3) at confidence %4; mAP50 %5.")
                     .arg(std::lround(100 * check.recall()))
                     .arg(check.found)
                     .arg(check.labels)
                     .arg(check.threshold)
                     .arg(check.map50, 0, 'f', 2);
  if (check.too_weak())
    text += QStringLiteral(
        " That is too few to judge these labels: most of what it does not see is not a mistake, and its findings "
        "are weak evidence. Review with a better model (trained longer, or on more pictures of this kind), or give "
        "the cross-check more epochs.");
  return text;
}

}  // namespace quorlan

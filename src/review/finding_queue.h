#pragma once
// The findings of a label review as the user works through them, without widgets: which are
// listed under a filter and how each reads, taking the model's version of one as an edit of the
// picture's document, and dismissing (or reopening) one.
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <optional>

#include "core/annotation_document.h"
#include "core/expected.h"
#include "review/label_review.h"
#include "review/review_dismissals.h"

namespace quorlan {

// What the list shows: a kind (-1: all), a class of the folder (-1: all), and the dismissed too.
struct FindingFilter {
  int kind = -1;
  int class_id = -1;
  bool with_dismissed = false;
};

struct FindingRow {
  int index = -1;  // into findings()
  QString text;    // "0.93  missing object · cat · a.jpg", " (dismissed)" at its end when it is
  QString tooltip;
};

class FindingQueue {
 public:
  // A review's findings, ranked, the model's class names, and the folder's dismissals.
  void reset(QVector<ReviewFinding> findings, QHash<int, QString> model_names, ReviewDismissals dismissals);
  // A review speaks of the folder it was made for: another folder drops it.
  void clear();

  const QVector<ReviewFinding>& findings() const { return findings_; }
  bool isEmpty() const { return findings_.isEmpty(); }
  // The model's name of its class `cls` (its number when it gives none).
  QString model_name(int cls) const { return model_names_.value(cls, QString::number(cls)); }
  ReviewDismissals* dismissals() { return dismissals_ ? &*dismissals_ : nullptr; }
  const ReviewDismissals* dismissals() const { return dismissals_ ? &*dismissals_ : nullptr; }

  // The findings listed under `filter`, worst first; `classes` are the folder's names.
  QVector<FindingRow> rows(const FindingFilter& filter, const QStringList& classes) const;

  enum class Taken { Done, LabelChanged, Unchanged };
  // Takes the model's version of finding `index` into `document` (its picture's) as one edit:
  // the missing object added (as `new_kind`, its class from `class_for(name)`), the class
  // corrected, the loose box tightened, the label on nothing removed. LabelChanged when the label
  // is no longer the one reviewed. Done settles the finding: it leaves the list, and the rows of
  // the labels after a removed one move up.
  Taken take(int index, AnnotationDocument& document, const std::function<int(const QString&)>& class_for,
             LabelKind new_kind);
  // Dismisses finding `index`, or reopens it when it is dismissed, and remembers it.
  Status toggle_dismissed(int index);

 private:
  QVector<ReviewFinding> findings_;
  QHash<int, QString> model_names_;
  std::optional<ReviewDismissals> dismissals_;
};

}  // namespace quorlan

#pragma once
// The findings a person has looked at and found sound ("Dismiss"), remembered per folder so that a
// later review does not ask again. Never written into the label files: kept in a small file of the
// studio's own in the folder (.quorlan-review.json) when the user agreed to that, else in the
// studio's settings.
#include <QSet>
#include <QString>

#include "core/expected.h"
#include "review/label_review.h"

class QSettings;

namespace quorlan {

class ReviewDismissals {
 public:
  static constexpr const char* kFileName = ".quorlan-review.json";
  static constexpr qint64 kMaxFileBytes = 64ll << 20;
  // The folder's dismissals: from its own file when it has one, else from `settings` (may be null:
  // nothing is then remembered past the session).
  static ReviewDismissals load(const QString& folder, QSettings* settings);

  bool contains(const ReviewFinding& finding) const { return keys_.contains(finding.key(folder_)); }
  int size() const { return static_cast<int>(keys_.size()); }
  // Whether the user said where they are kept (asked once per folder).
  bool place_chosen() const { return place_chosen_; }
  bool in_folder() const { return in_folder_; }
  void choose_place(bool in_folder);
  // Dismisses (or reopens) a finding and writes the list where it is kept.
  Status set(const ReviewFinding& finding, bool dismissed);
  // Empty, or what was wrong with the folder's file when it was loaded and what was done about it
  // (a file that could not be read whole is copied aside before anything is written over it).
  const QString& problem() const { return problem_; }

 private:
  Status write();
  QString folder_;
  QSettings* settings_ = nullptr;
  QSet<QString> keys_;
  bool place_chosen_ = false;
  bool in_folder_ = false;
  bool writable_ = true;  // false when the folder's file could not be read nor kept aside
  QString problem_;
};

}  // namespace quorlan

#pragma once
// Click to segment on the picture shown, without widgets: the prompt the user builds (clicks,
// negative clicks, a rough box), the answers that come back for it (the latest request wins), and
// the pictures' embeddings kept for the model (the one shown and the next, a few at most).
#include <QHash>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <memory>

#include "segment/sam_model.h"

namespace quorlan {

class SegmentSession {
 public:
  // A new picture, another mode, an accepted or dropped outline: no prompt, no proposal.
  void reset();
  void add_point(const QPointF& at, bool positive);
  // The rough box replaces the previous one.
  void set_box(const QRectF& box);
  // Takes back the last click, else the box; false when the prompt is empty.
  bool remove_last();
  const SegmentPrompt& prompt() const { return prompt_; }
  // What a click at `at` would add: the prompt with one more positive click, for the preview
  // under the cursor.
  SegmentPrompt with_hover(const QPointF& at) const;

  // A request for the prompt (`committed`) or for a preview; its answer is taken only while it is
  // the latest of its kind and the prompt has not changed since.
  int ask(bool committed);
  bool answer(int request, const Expected<Segmentation>& outline);
  // The outline proposed for the prompt itself (not a preview), once its answer is in.
  const std::optional<Segmentation>& proposal() const { return proposal_; }
  // What the picture shows: the latest answer, a preview or the proposal.
  const Segmentation& shown() const { return shown_; }
  bool waiting() const { return committed_asked_ > committed_answered_; }
  // The failure of the last answer, if it failed.
  const QString& problem() const { return problem_; }

 private:
  void changed();
  SegmentPrompt prompt_;
  std::optional<Segmentation> proposal_;
  Segmentation shown_;
  QString problem_;
  int version_ = 0;  // raised by every change of the prompt
  int next_request_ = 0;
  int committed_asked_ = 0, committed_answered_ = 0;
  QHash<int, std::pair<int, bool>> requests_;  // request -> (prompt version, committed)
};

// The embeddings of the last few pictures, by path.
class EmbeddingCache {
 public:
  explicit EmbeddingCache(int keep = 3) : keep_(keep) {}
  std::shared_ptr<const SamEmbedding> get(const QString& path) const { return kept_.value(path); }
  bool has(const QString& path) const { return kept_.contains(path); }
  // Marks `path` as being encoded; false when it is kept or already on its way.
  bool start(const QString& path);
  // The encoding of `path` is in (or failed: `embedding` null); the oldest go past `keep`.
  void put(const QString& path, const std::shared_ptr<const SamEmbedding>& embedding);
  void clear();

 private:
  int keep_;
  QHash<QString, std::shared_ptr<const SamEmbedding>> kept_;
  QStringList order_;
  QStringList pending_;
};

}  // namespace quorlan

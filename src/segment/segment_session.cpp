#include "segment/segment_session.h"

namespace quorlan {

void SegmentSession::changed() {
  ++version_;
  proposal_.reset();
  problem_.clear();
}

void SegmentSession::reset() {
  prompt_ = {};
  shown_ = {};
  changed();
  committed_answered_ = committed_asked_;
}

void SegmentSession::add_point(const QPointF& at, bool positive) {
  prompt_.points.push_back({{at.x(), at.y()}, positive});
  changed();
}

void SegmentSession::set_box(const QRectF& box) {
  prompt_.box = box.normalized();
  changed();
}

bool SegmentSession::remove_last() {
  if (!prompt_.points.empty())
    prompt_.points.pop_back();
  else if (prompt_.box)
    prompt_.box.reset();
  else
    return false;
  changed();
  if (prompt_.empty()) shown_ = {};
  return true;
}

SegmentPrompt SegmentSession::with_hover(const QPointF& at) const {
  SegmentPrompt p = prompt_;
  p.points.push_back({{at.x(), at.y()}, true});
  return p;
}

int SegmentSession::ask(bool committed) {
  const int request = ++next_request_;
  requests_.insert(request, {version_, committed});
  if (committed) committed_asked_ = request;
  return request;
}

bool SegmentSession::answer(int request, const Expected<Segmentation>& outline) {
  const auto asked = requests_.take(request);
  if (asked.second) committed_answered_ = std::max(committed_answered_, request);
  // A preview is stale once anything newer was asked; the prompt's own answer once it changed.
  if (asked.first != version_ || (!asked.second && request != next_request_)) return false;
  if (asked.second && request != committed_asked_) return false;
  if (!outline) {
    problem_ = outline.error();
    shown_ = {};
    return true;
  }
  problem_.clear();
  shown_ = *outline;
  if (asked.second) proposal_ = *outline;
  return true;
}

bool EmbeddingCache::start(const QString& path) {
  if (kept_.contains(path) || pending_.contains(path)) return false;
  pending_ << path;
  return true;
}

void EmbeddingCache::put(const QString& path, const std::shared_ptr<const SamEmbedding>& embedding) {
  pending_.removeAll(path);
  if (!embedding) return;
  kept_.insert(path, embedding);
  order_.removeAll(path);
  order_ << path;
  while (order_.size() > keep_) kept_.remove(order_.takeFirst());
}

void EmbeddingCache::clear() {
  kept_.clear();
  order_.clear();
  pending_.clear();
}

}  // namespace quorlan

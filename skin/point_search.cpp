#include "skin/point_search.h"

#include <algorithm>
#include <cmath>

namespace vorn {

namespace {

// -0 and +0 are equal points, so they must sort as one key.
float Key(float v) { return v == 0.0f ? 0.0f : v; }

bool KeyLess(Point3 a, Point3 b) {
  if (Key(a.x) != Key(b.x)) return Key(a.x) < Key(b.x);
  if (Key(a.y) != Key(b.y)) return Key(a.y) < Key(b.y);
  return Key(a.z) < Key(b.z);
}

bool HasNaN(Point3 p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); }

}  // namespace

void PointSearch::Build(const std::vector<Point3>& points) {
  points_ = points;
  const uint32_t n = static_cast<uint32_t>(points_.size());
  tree_.resize(n);
  axis_.assign(n, 0);
  for (uint32_t i = 0; i < n; ++i) tree_[i] = i;
  BuildRange(0, n);

  // Points with a NaN equal nothing, so they stay out of the equality index.
  sorted_.clear();
  sorted_.reserve(n);
  for (uint32_t i = 0; i < n; ++i)
    if (!HasNaN(points_[i])) sorted_.push_back(i);
  std::sort(sorted_.begin(), sorted_.end(), [&](uint32_t a, uint32_t b) {
    if (KeyLess(points_[a], points_[b])) return true;
    if (KeyLess(points_[b], points_[a])) return false;
    return a < b;
  });
}

void PointSearch::BuildRange(uint32_t lo, uint32_t hi) {
  // Iterative over the larger side would save stack, but the depth is only log2(n).
  if (hi - lo <= 1) return;
  Point3 mn = points_[tree_[lo]], mx = mn;
  for (uint32_t i = lo + 1; i < hi; ++i) {
    const Point3 p = points_[tree_[i]];
    for (int a = 0; a < 3; ++a) {
      mn[a] = std::min(mn[a], p[a]);
      mx[a] = std::max(mx[a], p[a]);
    }
  }
  int axis = 0;
  for (int a = 1; a < 3; ++a)
    if (mx[a] - mn[a] > mx[axis] - mn[axis]) axis = a;
  const uint32_t mid = lo + (hi - lo) / 2;
  std::nth_element(tree_.begin() + lo, tree_.begin() + mid, tree_.begin() + hi,
                   [&](uint32_t a, uint32_t b) { return points_[a][axis] < points_[b][axis]; });
  axis_[mid] = static_cast<uint8_t>(axis);
  BuildRange(lo, mid);
  BuildRange(mid + 1, hi);
}

int32_t PointSearch::FirstEqual(Point3 q) const {
  if (HasNaN(q)) return -1;
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), q,
                             [&](uint32_t a, Point3 key) { return KeyLess(points_[a], key); });
  if (it == sorted_.end() || KeyLess(q, points_[*it])) return -1;
  return static_cast<int32_t>(*it);
}

int32_t PointSearch::Nearest(Point3 q, float* d2) const {
  float bestD2 = INFINITY;
  int32_t best = -1;
  Search(0, static_cast<uint32_t>(points_.size()), q, bestD2, best);
  // Only NaN distances everywhere leave nothing found; the reference then keeps point 0.
  if (best < 0 && !points_.empty()) {
    best = 0;
    bestD2 = SquaredDistance(points_[0], q);
  }
  *d2 = bestD2;
  return best;
}

void PointSearch::Search(uint32_t lo, uint32_t hi, Point3 q, float& bestD2, int32_t& best) const {
  while (hi > lo) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const uint32_t idx = tree_[mid];
    const float d2 = SquaredDistance(points_[idx], q);
    if (d2 < bestD2 || (d2 == bestD2 && static_cast<int32_t>(idx) < best)) {
      bestD2 = d2;
      best = static_cast<int32_t>(idx);
    }
    if (hi - lo == 1) return;
    const int axis = axis_[mid];
    // Rounding is monotone, so no point beyond the plane can come out nearer than this bound;
    // equal bounds are still searched for a lower index.
    const float diff = q[axis] - points_[idx][axis];
    const float bound = diff * diff;
    const bool leftFirst = diff < 0;
    const uint32_t nearLo = leftFirst ? lo : mid + 1, nearHi = leftFirst ? mid : hi;
    const uint32_t farLo = leftFirst ? mid + 1 : lo, farHi = leftFirst ? hi : mid;
    Search(nearLo, nearHi, q, bestD2, best);
    if (!(bound <= bestD2)) return;
    lo = farLo;
    hi = farHi;
  }
}

}  // namespace vorn

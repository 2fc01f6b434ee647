#include "skin/matched_vertex_search.h"

#include <algorithm>
#include <array>
#include <climits>
#include <utility>

#include "skin/point_search.h"

namespace vorn {

namespace {

// The breadth-first search of one unmatched vertex: rings over the edge list until three or
// more matched vertices were found. Visits are stamped, so nothing is cleared per search.
class RingSearch {
 public:
  RingSearch(const AdjEdgeList& adj, const std::vector<int32_t>& match, uint32_t v)
      : adj_(adj), match_(match), v_(v), stamp_(v, 0) {}

  const std::vector<uint32_t>& Run(uint32_t start) {
    if (++mark_ == 0) {
      std::fill(stamp_.begin(), stamp_.end(), 0u);
      mark_ = 1;
    }
    found_.clear();
    queue_.clear();
    stamp_[start] = mark_;
    queue_.push_back(start);
    size_t head = 0;
    const uint32_t covered = static_cast<uint32_t>(adj_.vertexEdgeOffsets.empty() ? 0 : adj_.vertexEdgeOffsets.size() - 1);
    while (head < queue_.size()) {
      const size_t ringEnd = queue_.size();
      for (size_t k = head; k < ringEnd; ++k)
        if (match_[queue_[k]] != -1) found_.push_back(queue_[k]);
      if (found_.size() >= 3) break;
      for (size_t k = head; k < ringEnd; ++k) {
        const uint32_t u = queue_[k];
        if (u >= covered) continue;
        for (uint32_t e = adj_.vertexEdgeOffsets[u]; e < adj_.vertexEdgeOffsets[u + 1]; ++e) {
          const uint32_t edge = adj_.vertexEdges[e];
          for (int end = 0; end < 2; ++end) {
            const uint32_t w = adj_.edgeVerts[2 * size_t{edge} + static_cast<size_t>(end)];
            if (w < v_ && stamp_[w] != mark_) {
              stamp_[w] = mark_;
              queue_.push_back(w);
            }
          }
        }
      }
      head = ringEnd;
    }
    return found_;
  }

 private:
  const AdjEdgeList& adj_;
  const std::vector<int32_t>& match_;
  uint32_t v_;
  std::vector<uint32_t> stamp_;
  uint32_t mark_ = 0;
  std::vector<uint32_t> queue_;
  std::vector<uint32_t> found_;
};

// Connected parts of the mesh with their matched vertices: a search in a part with fewer
// than three of them would sweep the whole part, and its answer is known beforehand.
struct Parts {
  std::vector<uint32_t> part;     // per vertex
  std::vector<uint32_t> matched;  // per part: number of matched vertices
  std::vector<uint32_t> first;    // per part: its first two matched vertices
  std::vector<uint32_t> second;
};

Parts FindParts(const AdjEdgeList& adj, const std::vector<int32_t>& match, uint32_t v) {
  std::vector<uint32_t> parent(v);
  for (uint32_t i = 0; i < v; ++i) parent[i] = i;
  auto root = [&](uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (uint32_t e = 0; e < adj.EdgeCount(); ++e) {
    const uint32_t a = adj.edgeVerts[2 * size_t{e}], b = adj.edgeVerts[2 * size_t{e} + 1];
    if (a >= v || b >= v) continue;
    const uint32_t ra = root(a), rb = root(b);
    if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
  }
  Parts p;
  p.part.resize(v);
  std::vector<uint32_t> number(v, UINT32_MAX);
  for (uint32_t i = 0; i < v; ++i) {
    uint32_t& n = number[root(i)];
    if (n == UINT32_MAX) {
      n = static_cast<uint32_t>(p.matched.size());
      p.matched.push_back(0);
      p.first.push_back(0);
      p.second.push_back(0);
    }
    p.part[i] = n;
    if (match[i] != -1) {
      uint32_t& c = p.matched[n];
      if (c == 0) p.first[n] = i;
      if (c == 1) p.second[n] = i;
      ++c;
    }
  }
  return p;
}

// Visits the vertices joined to u by an edge (u itself among them, as an end of its edges).
template <typename Visit>
void ForEachNeighbour(const AdjEdgeList& adj, uint32_t u, uint32_t v, Visit visit) {
  if (u + 1 >= adj.vertexEdgeOffsets.size()) return;
  for (uint32_t e = adj.vertexEdgeOffsets[u]; e < adj.vertexEdgeOffsets[u + 1]; ++e) {
    const uint32_t edge = adj.vertexEdges[e];
    for (size_t end = 0; end < 2; ++end) {
      const uint32_t w = adj.edgeVerts[2 * size_t{edge} + end];
      if (w < v) visit(w);
    }
  }
}

// What the ring search of every vertex finds, for all vertices together. The ring search stops
// at radius R(v), the smallest ring by which three matched vertices are reached, and finds all
// matched vertices within it. R comes from one search out of all matched vertices that keeps
// three labels per vertex; then every matched vertex spreads only into vertices whose radius
// it lies within (a shortest path to such a vertex stays inside that region, since R changes
// by at most one from a vertex to its neighbour). Per vertex the four best by (distance, ring)
// are kept: the ring search's order agrees with that except between entries equal on both,
// and only then is a vertex searched on its own.
class FoundSets {
 public:
  struct Entry {
    double d;
    uint32_t ring;
    uint32_t s;
  };

  FoundSets(const AdjEdgeList& adj, const std::vector<int32_t>& match, std::span<const Point3> verts, uint32_t v,
            const Parts& parts)
      : best_(4 * size_t{v}), count_(v, 0) {
    std::vector<uint32_t> radius(v, UINT32_MAX);
    {
      std::vector<std::array<uint32_t, 3>> labels(v);
      std::vector<uint8_t> labelCount(v, 0);
      std::vector<std::pair<uint32_t, uint32_t>> frontier, next;
      for (uint32_t m = 0; m < v; ++m)
        if (match[m] != -1 && parts.matched[parts.part[m]] >= 3) {
          labels[m][0] = m;
          labelCount[m] = 1;
          frontier.push_back({m, m});
        }
      for (uint32_t layer = 1; !frontier.empty(); ++layer) {
        next.clear();
        for (const auto& entry : frontier) {
          const uint32_t source = entry.second;  // a named copy: lambdas may not capture bindings
          ForEachNeighbour(adj, entry.first, v, [&](uint32_t w) {
            uint8_t& c = labelCount[w];
            if (c >= 3) return;
            for (uint8_t k = 0; k < c; ++k)
              if (labels[w][k] == source) return;
            labels[w][c++] = source;
            if (c == 3) radius[w] = layer;
            next.push_back({w, source});
          });
        }
        frontier.swap(next);
      }
    }
    std::vector<uint32_t> stamp(v, UINT32_MAX), queue;
    for (uint32_t m = 0; m < v; ++m) {
      if (match[m] == -1 || parts.matched[parts.part[m]] < 3) continue;
      queue.clear();
      queue.push_back(m);
      stamp[m] = m;
      size_t head = 0;
      for (uint32_t ring = 0; head < queue.size(); ++ring) {
        const size_t end = queue.size();
        for (; head < end; ++head) {
          const uint32_t u = queue[head];
          if (match[u] == -1) Offer(u, {Distance(verts[m], verts[u]), ring, m});
          ForEachNeighbour(adj, u, v, [&](uint32_t w) {
            if (stamp[w] == m || ring + 1 > radius[w]) return;
            stamp[w] = m;
            queue.push_back(w);
          });
        }
      }
    }
  }

  // The three nearest, when the ring search's order cannot change them.
  bool Nearest(uint32_t v, Nearest3& out) const {
    const Entry* e = &best_[4 * size_t{v}];
    const int n = count_[v];
    if (n < 3) return false;
    for (int k = 0; k + 1 < n && k <= 2; ++k)
      if (e[k].d == e[k + 1].d && e[k].ring == e[k + 1].ring) return false;
    for (int k = 0; k < 3; ++k) {
      out.s[k] = e[k].s;
      out.d[k] = e[k].d;
    }
    out.count = 3;
    return true;
  }

 private:
  static bool Before(const Entry& a, const Entry& b) { return a.d < b.d || (a.d == b.d && a.ring < b.ring); }

  void Offer(uint32_t v, const Entry& x) {
    Entry* e = &best_[4 * size_t{v}];
    uint8_t& n = count_[v];
    int at = n;
    while (at > 0 && Before(x, e[at - 1])) --at;
    if (at >= 4) return;
    for (int k = std::min<int>(n, 3); k > at; --k) e[k] = e[k - 1];
    e[at] = x;
    if (n < 4) ++n;
  }

  std::vector<Entry> best_;
  std::vector<uint8_t> count_;
};

}  // namespace

struct MatchedVertexSearch::State {
  State(const AdjEdgeList& adj, const std::vector<int32_t>& match, std::span<const Point3> verts, uint32_t v)
      : verts_(verts), parts_(FindParts(adj, match, v)), search_(adj, match, v), sets_(adj, match, verts, v, parts_) {}

  void Nearest(uint32_t i, Nearest3& near) {
    const Point3 p = verts_[i];
    const uint32_t part = parts_.part[i];
    const uint32_t inPart = parts_.matched[part];
    const std::vector<uint32_t>* found = nullptr;
    if (inPart >= 3) {
      if (!sets_.Nearest(i, near)) found = &search_.Run(i);
    } else {
      // The search would sweep the part and find exactly its matched vertices; only the order
      // of two at one distance is left to it.
      few_.clear();
      if (inPart >= 1) few_.push_back(parts_.first[part]);
      if (inPart == 2) few_.push_back(parts_.second[part]);
      if (inPart == 2 && SquaredDistance(verts_[few_[0]], p) == SquaredDistance(verts_[few_[1]], p))
        found = &search_.Run(i);
      else
        found = &few_;
    }
    if (found)
      for (uint32_t s : *found) near.Offer(s, Distance(verts_[s], p));
  }

  std::span<const Point3> verts_;
  const Parts parts_;
  RingSearch search_;
  const FoundSets sets_;
  std::vector<uint32_t> few_;
};

MatchedVertexSearch::MatchedVertexSearch(const AdjEdgeList& adj, const std::vector<int32_t>& match,
                                         std::span<const Point3> verts, uint32_t v)
    : state_(std::make_unique<State>(adj, match, verts, v)) {}

MatchedVertexSearch::~MatchedVertexSearch() = default;

void MatchedVertexSearch::Nearest(uint32_t i, Nearest3& near) { state_->Nearest(i, near); }

}  // namespace vorn

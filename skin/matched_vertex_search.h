// For the mesh vertices without an object point of their own, the nearest vertices that have
// one, as a breadth-first search over the mesh's edges, ring by ring, finds them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "host/math.h"
#include "host/tri_mesh.h"

namespace vorn {

// Up to three nearest of a list, in order of distance; a later entry only goes before an
// earlier one when strictly nearer.
struct Nearest3 {
  uint32_t s[3] = {0, 0, 0};
  double d[3] = {0, 0, 0};
  int count = 0;
  void Offer(uint32_t v, double dv) {
    int at = count;
    while (at > 0 && dv < d[at - 1]) --at;
    if (at >= 3) return;
    for (int k = std::min(count, 2); k > at; --k) {
      s[k] = s[k - 1];
      d[k] = d[k - 1];
    }
    s[at] = v;
    d[at] = dv;
    count = std::min(count + 1, 3);
  }
};

class MatchedVertexSearch {
 public:
  // match: per vertex the object point it matched, or -1. Only vertices below v take part.
  MatchedVertexSearch(const AdjEdgeList& adj, const std::vector<int32_t>& match, std::span<const Point3> verts,
                      uint32_t v);
  ~MatchedVertexSearch();
  MatchedVertexSearch(const MatchedVertexSearch&) = delete;
  MatchedVertexSearch& operator=(const MatchedVertexSearch&) = delete;

  // Up to three matched vertices nearest to unmatched vertex i, offered to near (which starts
  // empty) in the order the search reaches them: from the smallest ring around i that holds
  // three matched vertices, all matched vertices within it; in a connected part with fewer than
  // three, those it has. None when i's part has none.
  void Nearest(uint32_t i, Nearest3& near);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vorn

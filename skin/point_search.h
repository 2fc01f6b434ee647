// Nearest-point queries over a fixed point list, with the exporter's exact tie rules: the
// first point equal in all components, and the smallest single-precision squared distance,
// the lowest index on ties.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "host/math.h"

namespace vorn {

// Squared distance as every search of the skin code computes it.
inline float SquaredDistance(Point3 a, Point3 b) { return LengthSquared(a - b); }
inline double Distance(Point3 a, Point3 b) { return std::sqrt(static_cast<double>(SquaredDistance(a, b))); }

class PointSearch {
 public:
  PointSearch() = default;
  explicit PointSearch(const std::vector<Point3>& points) { Build(points); }
  void Build(const std::vector<Point3>& points);

  bool Empty() const { return points_.empty(); }
  // Index of the first point equal to q, or -1.
  int32_t FirstEqual(Point3 q) const;
  // Index of the nearest point (lowest index on ties), or -1 when empty; *d2 gets its squared
  // distance.
  int32_t Nearest(Point3 q, float* d2) const;
  // The first equal point, else the nearest one; -1 when empty.
  int32_t EqualOrNearest(Point3 q) const {
    const int32_t e = FirstEqual(q);
    float d2;
    return e >= 0 ? e : Nearest(q, &d2);
  }

 private:
  void BuildRange(uint32_t lo, uint32_t hi);
  void Search(uint32_t lo, uint32_t hi, Point3 q, float& bestD2, int32_t& best) const;

  std::vector<Point3> points_;
  std::vector<uint32_t> tree_;    // implicit k-d tree: the middle of each range splits it
  std::vector<uint8_t> axis_;     // split axis of the node at each tree_ slot
  std::vector<uint32_t> sorted_;  // indices ordered by coordinates, then index
};

}  // namespace vorn

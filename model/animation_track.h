// The keys of one node for one animation clip.
#pragma once

#include <cstdint>
#include <vector>

#include "host/math.h"

namespace vorn {

struct MatrixKey { int32_t type = 3; int32_t time = 0; Matrix3 value; };
struct VectorKey { int32_t type = 2; int32_t time = 0; Point3 value; };
struct RotationKey { int32_t type = 0; int32_t time = 0; Quat value; };

struct AnimationTrack {
  int32_t startTick = 0;
  int32_t endTick = 0;
  bool srt = false;
  std::vector<int32_t> positionTimes;
  std::vector<int32_t> rotationTimes;
  std::vector<int32_t> scaleTimes;
  std::vector<int32_t> keyTimes;
  std::vector<MatrixKey> matrixKeys;
  std::vector<VectorKey> positionKeys;
  std::vector<RotationKey> rotationKeys;
  std::vector<VectorKey> scaleKeys;

  size_t KeyCount() const {
    return srt ? positionKeys.size() + rotationKeys.size() + scaleKeys.size() : matrixKeys.size();
  }
  bool Empty() const { return KeyCount() == 0; }
};

}  // namespace vorn

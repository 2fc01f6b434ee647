// Skin weights of one renderable node: a table of bones with offsets and per-point weights.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/math.h"

namespace vorn {

class HostNode;

struct XWeight {
  float weight = 0.0f;
  bool assigned = false;
};

struct XBoneRecord {
  const HostNode* hostNode = nullptr;
  std::string name;
  Matrix3 offset;
  std::vector<XWeight> weights;
};

struct XSkinInfo {
  uint16_t maxWeightsPerVertex = 0;
  uint16_t maxWeightsPerFace = 0;
  uint16_t boneCount = 0;
  // Keyed by the bone host node's handle, so iteration is in ascending handle order.
  std::map<uint32_t, XBoneRecord> bones;
};

}  // namespace vorn

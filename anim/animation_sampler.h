// Turning a node's motion into keys, one track per animation clip.
#pragma once

#include <cstdint>

namespace vorn {

struct ExportContext;
class XNode;

void SampleNodeAnimation(ExportContext& ctx, XNode& node);
// Key times key-frame extraction would produce over all clips; 0 when it cannot be used.
uint32_t CountKeyFrames(const ExportContext& ctx, const XNode& node);

}  // namespace vorn

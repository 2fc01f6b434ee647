#include "anim/animation_sampler.h"

#include "export/export_context.h"

namespace vorn {

// Not yet built: nodes get no tracks, so no animation set holds keys.
void SampleNodeAnimation(ExportContext& ctx, XNode& node) {
  (void)ctx;
  node.tracks.clear();
}

uint32_t CountKeyFrames(const ExportContext& ctx, const XNode& node) {
  (void)ctx;
  (void)node;
  return 0;
}

}  // namespace vorn

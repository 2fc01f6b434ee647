// The skin objects under a skinned mesh: the header and one weight object per bone.
#pragma once

#include "xformat/xfile_sink.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;

void WriteSkin(ExportContext& ctx, XObjectHandle mesh, XRenderableNode& node);

}  // namespace vorn

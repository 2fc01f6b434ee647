// Material objects: shared ones at the top level and a node's material list under its mesh.
#pragma once

#include "xfile/xfile_sink.h"

namespace vorn {

struct ExportContext;
class XRenderableNode;
struct XMaterial;

void WriteMaterial(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, const XMaterial& material);

}  // namespace vorn

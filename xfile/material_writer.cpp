#include "xfile/material_writer.h"

#include <cstring>

#include "export/export_context.h"
#include "xfile/template_ids.h"

namespace vorn {

void WriteMaterial(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, const XMaterial& material) {
  (void)node;
  // The eleven colour floats in the order of the Material template.
  float bytes[11];
  std::memcpy(bytes, material.faceColor, sizeof material.faceColor);
  bytes[4] = material.power;
  std::memcpy(bytes + 5, material.specularColor, sizeof material.specularColor);
  std::memcpy(bytes + 8, material.emissiveColor, sizeof material.emissiveColor);
  XObjectHandle h = ctx.xfileSink->AddObject(parent, kMaterialGuid, material.name.c_str(), bytes, sizeof bytes);
  ctx.xfileSink->Release(h);
}

}  // namespace vorn

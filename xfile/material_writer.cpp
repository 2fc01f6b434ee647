#include "xfile/material_writer.h"

#include <cstring>
#include <vector>

#include "export/export_context.h"
#include "mesh/mesh_data.h"
#include "xfile/template_ids.h"

namespace vorn {

namespace {

XObjectHandle AddMaterialObject(ExportContext& ctx, XObjectHandle parent, const char* name, const float (&bytes)[11]) {
  return ctx.xfileSink->AddObject(parent, kMaterialGuid, name, bytes, sizeof bytes);
}

}  // namespace

XObjectHandle WriteMaterialList(ExportContext& ctx, XObjectHandle mesh, XRenderableNode& node) {
  const XMeshData& d = *node.meshData;
  const uint32_t m = static_cast<uint32_t>(node.nodeMaterials.size());
  const uint32_t f = static_cast<uint32_t>(d.faces.size());
  std::vector<uint32_t> bytes(size_t{f} + 2);
  bytes[0] = m > 1 ? m : 1;
  bytes[1] = f;
  if (m > 0)
    for (uint32_t i = 0; i < f; ++i) bytes[i + 2] = d.faces[i].material;
  XObjectHandle list = ctx.xfileSink->AddObject(mesh, kMeshMaterialListGuid, nullptr, bytes.data(), bytes.size() * 4);
  if (m == 0) {
    const uint32_t c = d.wireColor;
    const float wire[11] = {static_cast<float>(c & 0xff) / 255.0f, static_cast<float>((c >> 8) & 0xff) / 255.0f,
                            static_cast<float>((c >> 16) & 0xff) / 255.0f, 1.0f, 0, 0, 0, 0, 0, 0, 0};
    ctx.xfileSink->Release(AddMaterialObject(ctx, list, "", wire));
  } else {
    for (const XMaterialEntry& entry : node.nodeMaterials) WriteMaterialEntry(ctx, list, &node, entry);
  }
  AdvanceProgress(ctx);
  return list;
}

void WriteMaterialEntry(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, const XMaterialEntry& entry) {
  switch (entry.kind) {
    case MaterialKind::Reference:
      if (parent && entry.ref.index < ctx.materials.size())
        ctx.xfileSink->AddReference(parent, ctx.materials[entry.ref.index]->name.c_str());
      return;
    case MaterialKind::Plain:
      if (entry.plain) WriteMaterial(ctx, parent, node, *entry.plain);
      return;
    case MaterialKind::Effect:
      if (entry.effect) WriteMaterial(ctx, parent, node, *entry.effect);
      return;
  }
}

void WriteMaterial(ExportContext& ctx, XObjectHandle parent, XRenderableNode* node, const XMaterial& material) {
  (void)node;
  // The eleven colour floats in the order of the Material template.
  float bytes[11];
  std::memcpy(bytes, material.faceColor, sizeof material.faceColor);
  bytes[4] = material.power;
  std::memcpy(bytes + 5, material.specularColor, sizeof material.specularColor);
  std::memcpy(bytes + 8, material.emissiveColor, sizeof material.emissiveColor);
  ctx.xfileSink->Release(AddMaterialObject(ctx, parent, material.name.c_str(), bytes));
}

}  // namespace vorn

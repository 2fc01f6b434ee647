#include "xfile/skin_writer.h"

#include <bit>
#include <cstring>
#include <vector>

#include "model/export_context.h"
#include "model/mesh_data.h"
#include "model/skin_info.h"
#include "scene/node_tree.h"
#include "scene/transforms.h"
#include "xfile/frame_writer.h"
#include "xformat/template_ids.h"

namespace vorn {

namespace {

static_assert(std::endian::native == std::endian::little, "object bytes are laid out in host order");

void Append(std::vector<uint8_t>& out, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

}  // namespace

void WriteSkin(ExportContext& ctx, XObjectHandle mesh, XRenderableNode& node) {
  if (!node.hasSkin || !node.IsPlainMesh() || !node.vertexSkinData || !node.meshData) return;
  XFileSink& sink = *ctx.xfileSink;
  const XSkinInfo& skin = *node.vertexSkinData;
  const XMeshData& d = *node.meshData;

  const uint16_t header[3] = {skin.maxWeightsPerVertex, skin.maxWeightsPerFace, skin.boneCount};
  sink.Release(sink.AddObject(mesh, kXSkinMeshHeaderGuid, nullptr, header, sizeof header));

  std::vector<uint32_t> indices;
  std::vector<float> weights;
  std::vector<uint8_t> bytes;
  for (const auto& [handle, bone] : skin.bones) {
    const std::string name = CleanName(bone.name);
    indices.clear();
    weights.clear();
    for (uint32_t e = 0; e < d.VertexCount(); ++e) {
      const size_t h = static_cast<size_t>(d.vertices[e].position);
      if (h >= bone.weights.size() || !bone.weights[h].assigned) continue;
      indices.push_back(e);
      weights.push_back(bone.weights[h].weight);
    }
    float matrix[16];
    ToMatrix4x4(ctx.conversion.Convert(bone.offset), matrix);
    const uint32_t w = static_cast<uint32_t>(indices.size());
    bytes.clear();
    bytes.reserve(name.size() + 8 * size_t{w} + 69);
    Append(bytes, name.c_str(), name.size() + 1);
    Append(bytes, &w, 4);
    Append(bytes, indices.data(), 4 * size_t{w});
    Append(bytes, weights.data(), 4 * size_t{w});
    Append(bytes, matrix, sizeof matrix);
    sink.Release(sink.AddObject(mesh, kSkinWeightsGuid, nullptr, bytes.data(), bytes.size()));
    AdvanceProgress(ctx);
  }
}

}  // namespace vorn

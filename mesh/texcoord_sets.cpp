#include "mesh/texcoord_sets.h"

#include <cmath>

namespace vorn {

namespace {

constexpr ClassID kBitmapTexClass{0x240, 0};
constexpr float kSetTolerance = 1e-6f;

bool Near(Point2 a, Point2 b) {
  return std::fabs(a.x - b.x) <= kSetTolerance && std::fabs(a.y - b.y) <= kSetTolerance;
}

int32_t FirstSetOfChannel(const XMeshData& data, int32_t channel) {
  for (size_t k = 0; k < data.mapChannels.size(); ++k)
    if (data.mapChannels[k] == channel) return static_cast<int32_t>(k);
  return -1;
}

}  // namespace

UVTransform Multiply(const UVTransform& x, const UVTransform& y) {
  UVTransform r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j)
      r.m[i][j] = x.m[i][0] * y.m[0][j] + x.m[i][1] * y.m[1][j] + (i == 2 ? y.m[2][j] : 0.0f);
  return r;
}

void DiscoverTexCoordSets(const TriMesh& mesh, XMeshData& data, TexCoordSetState& state) {
  for (int ch = 0; ch <= 99; ++ch) {
    if (!mesh.MapSupport(ch)) continue;
    state.supported[ch] = true;
    if (ch < 1) continue;
    data.texCoordSetMap.push_back(static_cast<uint32_t>(data.mapChannels.size()));
    data.mapChannels.push_back(ch);
    state.transforms.push_back(kDefaultUVTransform);
    state.marks.push_back(0);
  }
}

void ResetFaceTransforms(TexCoordSetState& state) {
  for (UVTransform& t : state.transforms) t = kDefaultUVTransform;
  for (uint8_t& m : state.marks) m = 0;
  state.tangentSet = -1;
}

void ApplyMaterialSlots(const XMaterial& material, const XMeshData& data, TexCoordSetState& state) {
  for (const XTextureSlot& slot : material.slots) {
    const int32_t ch = slot.mapChannel;
    if (ch < 1 || ch > 99 || !state.supported[ch]) continue;
    const int32_t k = FirstSetOfChannel(data, ch);
    if (k < 0) continue;
    if (state.tangentSet < 0 && slot.role == TextureSlotRole::NormalMap) state.tangentSet = k;
    if (!state.marks[static_cast<size_t>(k)]) {
      state.transforms[static_cast<size_t>(k)] = slot.uvTransform;
      state.marks[static_cast<size_t>(k)] = 1;
    }
  }
}

void AppendCornerTexCoords(const TriMesh& mesh, const XMeshData& data, const TexCoordSetState& state, int f,
                           const int corners[3], Point2* out) {
  const size_t sets = data.mapChannels.size();
  for (size_t k = 0; k < sets; ++k) {
    const MapChannel& map = mesh.Map(data.mapChannels[k]);
    const MapFace& face = map.faces[static_cast<size_t>(f)];
    for (int c = 0; c < 3; ++c) {
      const Point3 uvw = map.verts[face.t[corners[c]]];
      out[static_cast<size_t>(c) * sets + k] = ApplyUV(state.transforms[k], Point2{uvw.x, uvw.y});
    }
  }
}

void FindDuplicateSets(XMeshData& data) {
  const uint32_t sets = data.SetCount(), n = data.VertexCount();
  if (n == 0 || data.texCoordStride != sets) return;
  for (uint32_t i = 1; i < sets; ++i)
    for (uint32_t j = 0; j < i; ++j) {
      bool same = true;
      for (uint32_t e = 0; e < n && same; ++e) {
        const Point2* tc = data.TexCoordsOf(e);
        same = Near(tc[i], tc[j]);
      }
      if (same) {
        data.texCoordSetMap[i] = j;
        break;
      }
    }
}

UVTransform TexmapUVTransform(const HostScene& host, const HostTexmap* map) {
  if (!map) return kDefaultUVTransform;
  float cu = 0, cv = 0, cw = 1, ch = 1;
  int apply = 0, mode = 0;
  UVTransform crop;
  if (host.TexmapClassID(map) == kBitmapTexClass && host.TexmapParamBlockCount(map) > 0) {
    if (const HostParamBlock* block = host.TexmapParamBlock(map, 0)) {
      cu = host.ParamAt(block, 0, 0).f[0];
      cv = host.ParamAt(block, 1, 0).f[0];
      cw = host.ParamAt(block, 2, 0).f[0];
      ch = host.ParamAt(block, 3, 0).f[0];
      apply = host.ParamAt(block, 6, 0).i;
      mode = host.ParamAt(block, 7, 0).i;
    }
  }
  const bool cropOn = apply != 0 && mode == 0;
  if (cropOn) crop = UVTransform{{{cw, 0}, {0, ch}, {cu, 1 - ch - cv}}};

  const Matrix3 host_uv = host.UVTransform(map);
  const UVTransform t{{{host_uv.row[0].x, host_uv.row[0].y},
                       {host_uv.row[1].x, host_uv.row[1].y},
                       {host_uv.row[3].x, host_uv.row[3].y}}};
  UVTransform mirror;
  const int tiling = host.TextureTiling(map);
  if (tiling & 4) mirror.m[0][0] = 2;
  if (tiling & 8) mirror.m[1][1] = 2;
  UVTransform r = Multiply(t, mirror);
  if (r.IsIdentity() && cropOn) r = crop;
  return Multiply(r, kDefaultUVTransform);
}

int32_t TexCoordSetOfChannel(const XMeshData& data, int32_t channel) { return FirstSetOfChannel(data, channel); }

}  // namespace vorn

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "host/parallel.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "model/mesh_data.h"
#include "xfile/frame_writer.h"
#include "xfile/material_writer.h"
#include "xfile/skin_writer.h"
#include "xformat/template_ids.h"

namespace vorn {

namespace {

static_assert(std::endian::native == std::endian::little, "object bytes are laid out in host order");

// Lays out DWORDs and floats in a buffer sized up front; every byte is written, so it starts
// uninitialised.
class ObjectBytes {
 public:
  explicit ObjectBytes(size_t size)
      : bytes_(std::make_unique_for_overwrite<uint8_t[]>(size)), size_(size), at_(bytes_.get()) {}
  void Dword(uint32_t v) { Put(&v); }
  void Float(float v) { Put(&v); }
  void Point(Point3 p) {
    Float(p.x);
    Float(p.y);
    Float(p.z);
  }
  const uint8_t* Data() const { return bytes_.get(); }
  size_t Size() const { return size_; }
  std::unique_ptr<uint8_t[]> Release() { return std::move(bytes_); }

 private:
  void Put(const void* v) {
    std::memcpy(at_, v, 4);
    at_ += 4;
  }
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_;
  uint8_t* at_;
};

// DWORD n, n points, DWORD f, the faces: the layout of Mesh and MeshNormals alike.
template <typename PointOf>
ObjectBytes VerticesAndFaces(const XMeshData& d, PointOf point) {
  const uint32_t n = d.VertexCount(), f = static_cast<uint32_t>(d.faces.size());
  ObjectBytes b(12 * size_t{n} + 16 * size_t{f} + 8);
  b.Dword(n);
  for (uint32_t e = 0; e < n; ++e) b.Point(point(e));
  b.Dword(f);
  for (const XMeshFace& face : d.faces) {
    b.Dword(3);
    b.Dword(face.vertex0);
    b.Dword(face.vertex1);
    b.Dword(face.vertex2);
  }
  return b;
}

// The sink keeps the bytes as they are: a big mesh is never held twice.
XObjectHandle Add(ExportContext& ctx, XObjectHandle parent, const Guid& id, const char* name, ObjectBytes b) {
  const size_t size = b.Size();
  return ctx.xfileSink->AddObjectOwned(parent, id, name, b.Release(), size);
}

void AddLeaf(ExportContext& ctx, XObjectHandle parent, const Guid& id, const char* name, ObjectBytes b) {
  ctx.xfileSink->Release(Add(ctx, parent, id, name, std::move(b)));
}

void WriteTextureCoords(ExportContext& ctx, XObjectHandle mesh, const XMeshData& d) {
  const uint32_t n = d.VertexCount();
  for (uint32_t k = 0; k < d.SetCount() && k < d.texCoordStride; ++k) {
    if (d.texCoordSetMap[k] != k) continue;
    ObjectBytes b(8 * size_t{n} + 4);
    b.Dword(n);
    for (uint32_t e = 0; e < n; ++e) {
      const Point2 uv = d.TexCoordsOf(e)[k];
      b.Float(uv.x);
      b.Float(uv.y);
    }
    char name[16];
    std::snprintf(name, sizeof name, "c%d", d.mapChannels[k]);
    AddLeaf(ctx, mesh, kMeshTextureCoordsGuid, name, std::move(b));
  }
}

void WriteVertexColors(ExportContext& ctx, XObjectHandle mesh, const XMeshData& d) {
  const uint32_t n = d.VertexCount();
  ObjectBytes b(20 * size_t{n} + 4);
  b.Dword(n);
  for (uint32_t e = 0; e < n; ++e) {
    const XCorner& c = d.CornerOf(e);
    b.Dword(e);
    b.Point(c.color);
    b.Float(c.alpha);
  }
  AddLeaf(ctx, mesh, kMeshVertexColorsGuid, nullptr, std::move(b));
}

// The DeclData object of the mesh, none when no element is on.
std::optional<ObjectBytes> DeclDataBytes(const ExportOptions& o, const XRenderableNode& node, const XMeshData& d) {
  const bool plain = node.IsPlainMesh();
  const bool normal = o.Normal != 0, tangent = o.Tangent && plain, binormal = o.BiTangent && plain;
  const bool color = o.VertexColor && plain && (d.hasVertexColor || d.hasVertexAlpha);
  std::vector<uint32_t> sets;
  if (o.TexCoords)
    for (uint32_t k = 0; k < d.SetCount() && k < d.texCoordStride; ++k)
      if (d.texCoordSetMap[k] == k) sets.push_back(k);

  struct Element {
    uint32_t type, usage, usageIndex;
  };
  std::vector<Element> elements;
  if (normal) elements.push_back({2, 3, 0});
  if (tangent) elements.push_back({2, 6, 0});
  if (binormal) elements.push_back({2, 7, 0});
  if (color) elements.push_back({3, 10, 0});
  for (uint32_t i = 0; i < sets.size(); ++i) elements.push_back({1, 5, i});
  if (elements.empty()) return std::nullopt;

  const uint32_t n = d.VertexCount();
  const uint32_t perVertex = 3 * (uint32_t{normal} + tangent + binormal) +
                             2 * (static_cast<uint32_t>(sets.size()) + 2 * uint32_t{color});
  const size_t dwords = size_t{n} * perVertex;
  ObjectBytes b(16 * elements.size() + 4 * dwords + 8);
  b.Dword(static_cast<uint32_t>(elements.size()));
  for (const Element& e : elements) {
    b.Dword(e.type);
    b.Dword(0);
    b.Dword(e.usage);
    b.Dword(e.usageIndex);
  }
  b.Dword(static_cast<uint32_t>(dwords));
  for (uint32_t e = 0; e < n; ++e) {
    const XCorner& c = d.CornerOf(e);
    const XExportVertex& v = d.vertices[e];
    if (normal) b.Point(c.normal);
    if (tangent) b.Point(v.tangent);
    if (binormal) b.Point(v.bitangent);
    if (color) {
      b.Point(c.color);
      b.Float(c.alpha);
    }
    const Point2* tc = d.TexCoordsOf(e);
    for (uint32_t k : sets) {
      b.Float(tc[k].x);
      b.Float(tc[k].y);
    }
  }
  return b;
}

// For every exported vertex the first exported vertex split from the same host vertex, itself for
// that first one: indices into the file's own vertices, so that tools weld what the export split.
// nOriginalVertices counts the first ones.
void WriteVertexDuplicationIndices(ExportContext& ctx, XObjectHandle mesh, const XMeshData& d) {
  const uint32_t n = d.VertexCount();
  std::vector<uint32_t> first(d.positions.size(), UINT32_MAX);
  uint32_t originals = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t& f = first[static_cast<size_t>(d.vertices[i].position)];
    if (f == UINT32_MAX) f = i, ++originals;
  }
  ObjectBytes b(4 * size_t{n} + 8);
  b.Dword(n);
  b.Dword(originals);
  for (const XExportVertex& v : d.vertices) b.Dword(first[static_cast<size_t>(v.position)]);
  AddLeaf(ctx, mesh, kVertexDuplicationIndicesGuid, nullptr, std::move(b));
}

}  // namespace

void WriteMesh(ExportContext& ctx, XObjectHandle parent, XRenderableNode& node) {
  if (!node.meshData) return;
  const XMeshData& d = *node.meshData;
  const ExportOptions& o = ctx.options;
  XFileSink& sink = *ctx.xfileSink;

  // The two biggest objects, the mesh and its normals or vertex declaration, are laid out side by
  // side; the objects still go to the sink in their order.
  std::optional<ObjectBytes> meshBytes, second;
  const bool normals = o.Normal && !o.DeclData;
  ForEachHalf(2, WorthTwoCores(d.faces.size()), [&](size_t begin, size_t end) {
    if (begin == 0) meshBytes.emplace(VerticesAndFaces(d, [&](uint32_t e) { return d.PointOf(e); }));
    if (end < 2) return;
    if (o.DeclData)
      second = DeclDataBytes(ctx.options, node, d);
    else if (normals)
      second.emplace(VerticesAndFaces(d, [&](uint32_t e) { return d.CornerOf(e).normal; }));
  });
  AdvanceProgress(ctx);
  const XObjectHandle mesh = Add(ctx, parent, kMeshGuid, node.nodeName.c_str(), std::move(*meshBytes));

  if (normals) AddLeaf(ctx, mesh, kMeshNormalsGuid, nullptr, std::move(*second));
  XObjectHandle list;
  if (o.Mtl) list = WriteMaterialList(ctx, mesh, node);
  if (!o.DeclData) {
    if (o.TexCoords) WriteTextureCoords(ctx, mesh, d);
    if (o.VertexColor && node.IsPlainMesh() && (d.hasVertexColor || d.hasVertexAlpha)) WriteVertexColors(ctx, mesh, d);
  } else if (second) {
    AddLeaf(ctx, mesh, kDeclDataGuid, nullptr, std::move(*second));
  }
  if (o.VertexDup) WriteVertexDuplicationIndices(ctx, mesh, d);
  AdvanceProgress(ctx);
  if (node.hasSkin && node.IsPlainMesh()) WriteSkin(ctx, mesh, node);
  sink.Release(list);
  sink.Release(mesh);
}

}  // namespace vorn

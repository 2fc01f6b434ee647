#include "mesh/mesh_builder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "host/parallel.h"
#include "mesh/face_pipeline.h"
#include "mesh/normals.h"
#include "mesh/texcoord_sets.h"
#include "model/export_context.h"
#include "model/export_settings.h"
#include "platform/phase_timings.h"
#include "scene/transforms.h"

namespace vorn {

namespace {

constexpr float kCornerTolerance = 1e-6f;

bool Near(Point2 a, Point2 b) {
  return std::fabs(a.x - b.x) <= kCornerTolerance && std::fabs(a.y - b.y) <= kCornerTolerance;
}

bool CornersMatch(const XCorner& stored, const Point2* storedTex, const XCorner& probe, const Point2* probeTex,
                  uint32_t sets) {
  if (!Equals(stored.normal, probe.normal, kCornerTolerance)) return false;
  if (!Equals(stored.color, probe.color, kCornerTolerance)) return false;
  if (stored.alpha != probe.alpha || stored.material != probe.material) return false;
  for (uint32_t j = 0; j < sets; ++j)
    if (!Near(storedTex[j], probeTex[j])) return false;
  return true;
}

bool MapInRange(const MapChannel& map, size_t begin, size_t end) {
  const size_t n = map.verts.size();
  for (size_t f = begin; f < end; ++f)
    for (uint32_t t : map.faces[f].t)
      if (t >= n) return false;
  return true;
}

// Host data a face loop reads by index: a face or map face naming a vertex that is not there
// fails the node rather than being read out of range.
bool IndicesInRange(const TriMesh& mesh, bool specified, const XMeshData& data, bool texCoords, bool threaded) {
  const size_t nv = mesh.verts.size(), nf = mesh.faces.size();
  std::vector<const MapChannel*> maps;
  if (texCoords)
    for (int32_t ch : data.mapChannels) maps.push_back(&mesh.Map(ch));
  if (data.hasVertexColor) maps.push_back(&mesh.Map(0));
  if (data.hasVertexAlpha) maps.push_back(&mesh.Map(-2));
  for (const MapChannel* map : maps)
    if (map->faces.size() < nf) return false;
  bool ok[2] = {true, true};
  ForEachHalf(nf, threaded, [&](size_t begin, size_t end) {
    bool& result = ok[begin == 0 ? 0 : 1];
    for (size_t f = begin; f < end && result; ++f)
      for (uint32_t v : mesh.faces[f].v)
        if (v >= nv) result = false;
    if (specified) {
      const size_t nn = mesh.specified.normals.size();
      for (size_t f = begin; f < end && result; ++f)
        for (uint32_t i : mesh.specified.faces[f].t)
          if (i >= nn) result = false;
    }
    for (const MapChannel* map : maps) result = result && MapInRange(*map, begin, end);
  });
  return ok[0] && ok[1];
}

// What the face loop learns of one face before its vertices are found: its positions, its
// three corner records (texture coordinates beside them) and the tangents its corners add.
struct ProbedFace {
  XCorner r[3];
  uint32_t q[3];
  uint32_t material;
  FaceTangents tangents;
};

// The part of the face loop that only reads the mesh. Its only working state, the face's
// texture transforms, is the caller's, so it may run on two threads at once.
struct FaceProbe {
  FaceProbe(std::span<const XMaterial* const> r, const TriMesh& m, const XMeshData& d, bool spec, const int* corners,
            const Matrix3& normalTransform, const Matrix3& conversion)
      : records(r), mesh(m), data(d), specified(spec), corner(corners), n(normalTransform), k(conversion) {}

  // The node's material records, one for each of its materials (null: none).
  std::span<const XMaterial* const> records;
  const TriMesh& mesh;
  const XMeshData& data;
  bool specified;
  const int* corner;
  Matrix3 n, k;
  bool normals = false, tangents = false, texCoords = false;
  // A vertex's one normal (or one specified normal) reaches many corners: each is transformed
  // once, beforehand, into the slot of its source.
  std::vector<Point3> sourceNormals;

  Point3 ExportNormal(Point3 host) const { return Normalize(VectorTransform(VectorTransform(host, n), k)); }

  void TransformSourceNormals(bool threaded) {
    if (!normals) return;
    const size_t count = specified ? mesh.specified.normals.size() : mesh.verts.size();
    sourceNormals.assign(count, Point3{});
    ForEachHalf(count, threaded, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        const Point3* stored = StoredSourceNormal(mesh, specified, i);
        if (stored) sourceNormals[i] = ExportNormal(*stored);
      }
    });
  }

  Point3 Normal(size_t f, int c) const {
    const int64_t source = CornerNormalSource(mesh, specified, static_cast<int>(f), corner[c]);
    if (source >= 0) return sourceNormals[SourceSlot(source)];
    return ExportNormal(CornerNormal(mesh, specified, static_cast<int>(f), corner[c]));
  }

  void Probe(size_t f, ProbedFace& out, Point2* tex, TexCoordSetState& sets) const {
    const TriFace& face = mesh.faces[f];
    XCorner* r = out.r;
    for (int c = 0; c < 3; ++c) {
      r[c] = XCorner{};
      out.q[c] = face.v[corner[c]];
    }
    if (normals)
      for (int c = 0; c < 3; ++c) r[c].normal = Normal(f, c);
    out.material = 0;
    const XMaterial* record = nullptr;
    if (!records.empty()) {
      const uint32_t count = static_cast<uint32_t>(records.size());
      const uint32_t id = face.matID;
      const uint32_t mi = count <= 1 ? 0 : (id >= count ? id % count : id);
      out.material = mi;
      for (int c = 0; c < 3; ++c) r[c].material = static_cast<int32_t>(mi);
      record = records[mi];
    }
    // The face's texture transforms are its material's alone: faces mostly follow others of
    // the same material, whose transforms stand.
    const XMaterial* applied = texCoords ? record : nullptr;
    if (!sets.faceTransformsSet || sets.faceTransformsOf != applied) {
      ResetFaceTransforms(sets);
      if (applied) ApplyMaterialSlots(*applied, data, sets);
      sets.faceTransformsOf = applied;
      sets.faceTransformsSet = true;
    }
    const uint32_t stride = data.texCoordStride;
    if (stride) AppendCornerTexCoords(mesh, data, sets, static_cast<int>(f), corner, tex);
    if (data.hasVertexColor) {
      const MapChannel& colors = mesh.Map(0);
      for (int c = 0; c < 3; ++c) r[c].color = colors.verts[colors.faces[f].t[corner[c]]];
    }
    if (data.hasVertexAlpha) {
      const MapChannel& alphas = mesh.Map(-2);
      for (int c = 0; c < 3; ++c) r[c].alpha = alphas.verts[alphas.faces[f].t[corner[c]]].x;
    }
    if (tangents) {
      const uint32_t s = sets.tangentSet >= 0 ? static_cast<uint32_t>(sets.tangentSet) : 0;
      const Point3 p[3] = {data.positions[out.q[0]].position, data.positions[out.q[1]].position,
                           data.positions[out.q[2]].position};
      const Point2 w[3] = {tex[s], tex[stride + s], tex[2 * size_t{stride} + s]};
      out.tangents = FaceTangentWeights(p, w);
    }
  }
};

// Room for every vertex the faces can make, so the vertex arrays never move while they grow:
// a move copies them and touches twice their size. Untouched room costs address space only;
// where even that is short, room for one vertex a position. Small meshes get that too and grow:
// their arrays live in the heap, where with huge pages the room is zeroed whether used or not
// (three times the vertices a mesh usually has), and moving them costs little.
void ReserveVertices(XMeshData& data, size_t most, size_t positions) {
  constexpr size_t kReserveAllFrom = 3 * kTwoCoreMinimum;
  const size_t stride = data.texCoordStride;
  if (most < kReserveAllFrom) {
    data.vertices.reserve(positions);
    data.corners.reserve(positions);
    data.texCoords.reserve(positions * stride);
    return;
  }
  try {
    data.vertices.reserve(most);
    data.corners.reserve(most);
    data.texCoords.reserve(most * stride);
  } catch (const std::bad_alloc&) {
    std::vector<XExportVertex>().swap(data.vertices);
    std::vector<XCorner>().swap(data.corners);
    std::vector<Point2>().swap(data.texCoords);
    data.vertices.reserve(positions);
    data.corners.reserve(positions);
    data.texCoords.reserve(positions * stride);
  }
}

}  // namespace

uint32_t FindOrAddVertex(XMeshData& data, uint32_t q, const XCorner& probe, const Point2* tex) {
  XPosition& pos = data.positions[q];
  const uint32_t sets = data.texCoordStride;
  int32_t last = -1;
  for (int32_t e = pos.firstCorner; e >= 0; e = data.corners[static_cast<size_t>(e)].next) {
    const uint32_t ue = static_cast<uint32_t>(e);
    if (CornersMatch(data.corners[ue], data.TexCoordsOf(ue), probe, tex, sets)) return data.corners[ue].vertexIndex;
    last = e;
  }
  const uint32_t n = data.VertexCount();
  XCorner& c = data.corners.emplace_back(probe);
  c.vertexIndex = n;
  c.next = -1;
  data.texCoords.insert(data.texCoords.end(), tex, tex + sets);
  data.vertices.push_back(XExportVertex{static_cast<int32_t>(q), pos.cornerCount, {}, {}});
  if (last < 0)
    pos.firstCorner = static_cast<int32_t>(n);
  else
    data.corners[static_cast<size_t>(last)].next = static_cast<int32_t>(n);
  ++pos.cornerCount;
  return n;
}

namespace {

// The node's copy of the host mesh, as big as the mesh data itself, once nothing reads it.
void ReleaseMeshCopy(XRenderableNode& node) {
  if (node.mesh != &node.meshCopy) return;
  node.meshCopy = TriMesh{};
  node.mesh = nullptr;
}

// The part of the build that reads nothing but the mesh, its data so far and what it holds, so
// that it may run beside the export thread.
struct MeshBuild {
  ExportOptions o;
  Matrix3 m, k;  // the vertices' transform, then the conversion
  bool secondCore, threaded, specified, plain;
  std::vector<const XMaterial*> records;

  // progress: the export whose display each face advances; null when the caller counts them.
  void Run(TriMesh& mesh, XMeshData& data, TexCoordSetState sets, ExportContext* progress) const {
    constexpr size_t kChunkFaces = 2048, kSlots = 8;
    const size_t faceCount = static_cast<size_t>(std::max(0, mesh.FaceCount()));
    const size_t vertexCount = static_cast<size_t>(std::max(0, mesh.VertexCount()));
    if (!specified) mesh.BuildNormals(secondCore);
    data.faces.assign(faceCount, XMeshFace{});
    data.positions.assign(vertexCount, XPosition{});
    const uint32_t setCount = data.SetCount();

    const Matrix3 mk = m * k;
    const Matrix3 n = NormalTransform(m);
    ForEachHalf(vertexCount, threaded, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) data.positions[i].position = (mesh.verts[i] * m) * k;
    });

    const int corner[3] = {0, Dot(Cross(mk.row[0], mk.row[1]), mk.row[2]) < 0 ? 2 : 1,
                           Dot(Cross(mk.row[0], mk.row[1]), mk.row[2]) < 0 ? 1 : 2};

    // Probing a face only reads the mesh; finding its vertices numbers them in face order. Big
    // meshes probe on both cores while this one numbers.
    FaceProbe probe{records, mesh, data, specified, corner, n, k};
    probe.normals = o.Normal || o.Tangent || o.BiTangent;
    probe.tangents = plain && (o.Tangent || o.BiTangent) && o.TexCoords && setCount > 0;
    probe.texCoords = o.TexCoords != 0;
    probe.TransformSourceNormals(threaded);
    TexCoordSetState workerSets[2] = {sets, sets};
    const uint32_t stride = data.texCoordStride;
    const size_t texPerFace = 3 * size_t{stride};
    ReserveVertices(data, 3 * faceCount, vertexCount);

    // A small mesh is one chunk: its buffers are as big as it is, not a chunk's size, since the
    // zeroing of unused room cost more than the build of a box.
    const size_t chunkFaces = std::clamp(faceCount, size_t{1}, kChunkFaces);
    const size_t slots = threaded ? std::min(kSlots, (faceCount + chunkFaces - 1) / chunkFaces) : 1;
    std::vector<ProbedFace> probed(slots * chunkFaces);
    std::vector<Point2> probedTex(slots * chunkFaces * texPerFace);
    RunOrdered(
        faceCount, chunkFaces, slots, threaded,
        [&](size_t worker, size_t slot, size_t begin, size_t end) {
          for (size_t f = begin; f < end; ++f) {
            const size_t i = slot * chunkFaces + (f - begin);
            probe.Probe(f, probed[i], probedTex.data() + i * texPerFace, workerSets[worker]);
          }
        },
        [&](size_t slot, size_t begin, size_t end) {
          for (size_t f = begin; f < end; ++f) {
            const size_t i = slot * chunkFaces + (f - begin);
            const ProbedFace& pf = probed[i];
            const Point2* tex = probedTex.data() + i * texPerFace;
            XMeshFace& face = data.faces[f];
            face.material = pf.material;
            face.vertex0 = FindOrAddVertex(data, pf.q[0], pf.r[0], tex);
            face.vertex1 = FindOrAddVertex(data, pf.q[1], pf.r[1], tex + stride);
            face.vertex2 = FindOrAddVertex(data, pf.q[2], pf.r[2], tex + 2 * size_t{stride});
            if (probe.tangents) AccumulateFaceTangents(data, face, pf.tangents);
            if (progress) AdvanceProgress(*progress);
          }
        });
    probe.sourceNormals = {};

    // The face loop was the last reader of the smoothing-group normals; they are as big as the mesh.
    if (!specified) mesh.ReleaseNormals();
    if (plain && (o.Tangent || o.BiTangent))
      ForEachHalf(data.vertices.size(), secondCore && WorthTwoCores(data.vertices.size()),
                  [&](size_t begin, size_t end) {
                    for (size_t e = begin; e < end; ++e)
                      OrthonormalizeFrame(data.vertices[e].tangent, data.vertices[e].bitangent,
                                          data.corners[e].normal);
                  });
    if (plain && o.MultiTexCoordsOptimize && o.TexCoords) FindDuplicateSets(data);
  }
};

}  // namespace

bool GenMeshData(ExportContext& ctx, XRenderableNode& node, BackgroundJobs* beside) {
  if (!node.hostNode || !node.mesh) return false;
  PhaseScope timing(&ctx.timings, Phase::MeshBuild);
  const ExportOptions& o = ctx.options;
  HostScene& host = *ctx.host;

  // The face loop builds normals on the mesh; ours is the node's own copy.
  TriMesh* own = node.mesh == &node.meshCopy ? &node.meshCopy : nullptr;
  std::shared_ptr<TriMesh> scratch;
  if (!own) {
    scratch = std::make_shared<TriMesh>(*node.mesh);
    own = scratch.get();
  }
  TriMesh& mesh = *own;

  const int F = mesh.FaceCount(), V = mesh.VertexCount();
  if (F < 1 || V < 1) host.MessageBox("cntFaces <= 0 || cntVerts <= 0", "GenMeshData\xB3\xF6\xB4\xED", 0, true);
  const size_t faceCount = F > 0 ? static_cast<size_t>(F) : 0;

  constexpr size_t kChunkFaces = 2048;
  const bool threaded = ctx.secondCore && faceCount >= 8 * kChunkFaces && SecondCoreAvailable();
  const bool specified = mesh.CheckSpecifiedNormals();

  auto data = std::make_shared<XMeshData>();
  node.meshData = data;
  data->positionCount = V;
  data->faceCount = F;
  data->valid = 1;
  data->wireColor = host.WireColor(node.hostNode);

  TexCoordSetState sets;
  DiscoverTexCoordSets(mesh, *data, sets);
  data->texCoordStride = o.TexCoords ? data->SetCount() : 0;

  const bool plain = node.IsPlainMesh();
  if (plain && o.VertexColor) {
    data->hasVertexAlpha = mesh.MapSupport(-2);
    const MapChannel& colors = mesh.Map(0);
    data->hasVertexColor = mesh.MapSupport(0) && !colors.verts.empty() && !colors.faces.empty();
  }

  if (!IndicesInRange(mesh, specified, *data, o.TexCoords != 0, threaded)) {
    host.MessageBox("The mesh of node \"" + node.nodeName +
                        "\" has faces naming vertices it does not have; it is not exported as a mesh.",
                    "GenMeshData", 2, true);
    node.meshData.reset();
    return false;
  }

  // What the build reads of the export besides the mesh, taken now: the export thread goes on
  // adding materials while a build beside it runs.
  std::vector<const XMaterial*> records;
  records.reserve(node.nodeMaterials.size());
  for (const XMaterialEntry& e : node.nodeMaterials) records.push_back(EntryRecord(ctx, e));
  // Beside the export thread the build touches nothing of the node but its mesh copy, which it
  // releases: later nodes' skins mark their bones on the node meanwhile.
  if (!(o.WorldSpace && node.IsPlainMesh()) && !node.singularOffset && node.transform.Determinant() == 0.0f)
    std::fprintf(stderr,
                 "vorn: node '%s' has no volume at the start of the range (a scale of 0) nor at any frame after: "
                 "its mesh cannot be taken into its frame and is written collapsed\n",
                 node.nodeName.c_str());
  MeshBuild build{o, MeshVertexTransform(node, o.WorldSpace != 0), ctx.conversion.k, ctx.secondCore,
                  threaded, specified, plain, std::move(records)};

  // A small mesh builds on the second core while the export thread asks the host for the next
  // node; a big one builds here, on both cores. A build beside the export thread counts its
  // faces as done when it is handed over: only the export thread moves the progress display.
  if (!beside || threaded) {
    build.Run(mesh, *data, std::move(sets), &ctx);
    if (beside) ReleaseMeshCopy(node);
    return true;
  }
  for (size_t f = 0; f < faceCount; ++f) AdvanceProgress(ctx);
  beside->Add(
      [build = std::move(build), &node, own, scratch, data, sets = std::move(sets)]() mutable {
        build.Run(*own, *data, std::move(sets), nullptr);
        ReleaseMeshCopy(node);
        return size_t{0};
      },
      faceCount);
  return true;
}

}  // namespace vorn

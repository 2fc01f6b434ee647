// The scene document loader: its state, and the members its parts share. The parts are
// defined in files of their own: sidecar buffers, nodes and controllers, objects and patches,
// modifiers, materials and maps, and the whole document (scene_document_load.cpp).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/scene_document_data.h"
#include "host/scene_document_json.h"

namespace vorn::scene_doc {

// Large arrays come from sidecar buffers; this bounds what one array may ask for.
inline constexpr int64_t kMaxElements = int64_t{1} << 28;

// Where a table entry is while it is read, so one that contains itself is refused.
enum class State { Busy, Done };

// Nesting of inline records and references; deeper documents are refused, not recursed into.
inline constexpr int kMaxDepth = 200;

template <class Points>
void ToPoints(const std::vector<float>& f, size_t n, Points& out) {
  out.resize(n);
  Point3* p = WritableData(out);
  for (size_t i = 0; i < n; ++i) p[i] = {f[i * 3], f[i * 3 + 1], f[i * 3 + 2]};
}

struct DepthGuard {
  DepthGuard(int& depth, const std::string& path) : d(depth) {
    if (++d > kMaxDepth) {
      --d;
      Fail(path, "nested more than " + std::to_string(kMaxDepth) + " levels deep");
    }
  }
  ~DepthGuard() { --d; }
  int& d;
};

struct Loader {
  Loader(Data& data, std::string dir) : d(data), baseDir(std::move(dir)) {}
  ~Loader() {
    for (auto& [name, file] : buffers) ::close(file.fd);
  }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;
  Data& d;
  std::string baseDir;
  const json* objectsTable = nullptr;
  const json* materialsTable = nullptr;
  const json* texmapsTable = nullptr;
  // Sidecar files stay open while loading; arrays are read from them straight into place.
  struct BufferFile {
    int fd = -1;
    uint64_t size = 0;
  };
  std::map<std::string, BufferFile> buffers;
  std::vector<char> chunk;  // staging for arrays that are converted element by element
  std::map<std::string, std::pair<SharedArray<MapFace>, uint32_t>> cornerArrays;  // with their largest index
  std::map<std::string, std::pair<State, const Object*>> objectState;
  std::map<std::string, std::pair<State, const Material*>> materialState;
  std::map<std::string, std::pair<State, const Texmap*>> texmapState;
  int depth = 0;
  std::map<uint32_t, const Node*> byHandle;
  std::multimap<std::string, const Node*> byName;

  // ---- Sidecar buffers -------------------------------------------------------------------

  const BufferFile& Buffer(const std::string& name, const std::string& path);

  struct BufferRef {
    int fd = -1;
    uint64_t offset = 0;
    size_t count = 0;
    int comps = 1;
    size_t elemSize = 0;
    std::string type;
    std::string name;
  };

  // Reads elements [first, first + n) of the array into dst.
  static void ReadElements(const BufferRef& b, size_t first, size_t n, void* dst, const std::string& path);

  // Calls each(first, n, bytes) over the array a staging chunk at a time.
  template <class Each>
  void ForChunks(const BufferRef& b, const std::string& path, Each&& each) {
    const size_t per = std::max<size_t>(1, (size_t{64} << 10) / b.elemSize);
    chunk.resize(per * b.elemSize);
    for (size_t first = 0; first < b.count; first += per) {
      const size_t n = std::min(per, b.count - first);
      ReadElements(b, first, n, chunk.data(), path);
      each(first, n, chunk.data());
    }
  }

  // {"buffer", "offset", "count", "type"}: checks the type against the allowed element
  // kinds and the byte range against the file.
  BufferRef OpenBuffer(const json& v, const std::string& path, const std::string& scalar, int minComps,
                       int maxComps, size_t scalarSize, const std::string& altScalar = "");

  // Float array: inline (rows of minComps..maxComps numbers, or plain numbers for one
  // component) or a float32 buffer. Out holds maxComps floats per element, zero-padded.
  size_t FloatArray(const json& v, const std::string& path, int minComps, int maxComps, std::vector<float>& out);

  // Points (1 to 3 components, zero-padded), read from a buffer straight into place.
  template <class Points>
  size_t PointArray(const json& v, const std::string& path, int minComps, Points& out) {
    if (!v.is_object()) {
      std::vector<float> f;
      const size_t n = FloatArray(v, path, minComps, 3, f);
      ToPoints(f, n, out);
      return n;
    }
    BufferRef b = OpenBuffer(v, path, "float32", minComps, 3, 4);
    out.resize(b.count);
    Point3* p = WritableData(out);
    static_assert(sizeof(Point3) == 12);
    if (b.comps == 3) {
      ReadElements(b, 0, b.count, p, path);
    } else {
      ForChunks(b, path, [&](size_t first, size_t n, const char* bytes) {
        for (size_t i = 0; i < n; ++i) {
          float xyz[3] = {0, 0, 0};
          std::memcpy(xyz, bytes + i * b.elemSize, b.elemSize);
          p[first + i] = {xyz[0], xyz[1], xyz[2]};
        }
      });
    }
    for (size_t i = 0; i < b.count; ++i)
      if (!std::isfinite(p[i].x) || !std::isfinite(p[i].y) || !std::isfinite(p[i].z))
        Fail(Key(path, i), "buffer holds a number that is not finite");
    return b.count;
  }

  // Unsigned integer array: inline or a uint32 (or uint16) buffer with `comps` per element.
  // size(count) is called once before put(element, component, value) fills the elements, so a
  // big array goes from the buffer straight to its place.
  template <class Size, class Put>
  size_t ReadIndices(const json& v, const std::string& path, int comps, int64_t hi, Size&& size, Put&& put) {
    const size_t n = size_t(comps);
    if (v.is_object()) {
      BufferRef b = OpenBuffer(v, path, "uint32", comps, comps, 4, "uint16");
      size(b.count);
      const bool narrow = b.type.rfind("uint16", 0) == 0;
      ForChunks(b, path, [&](size_t first, size_t count, const char* bytes) {
        for (size_t e = 0; e < count; ++e) {
          for (size_t c = 0; c < n; ++c) {
            uint32_t x;
            if (narrow) {
              uint16_t h;
              std::memcpy(&h, bytes + (e * n + c) * 2, 2);
              x = h;
            } else {
              std::memcpy(&x, bytes + (e * n + c) * 4, 4);
            }
            if (int64_t(x) > hi) Fail(Key(path, first + e), "value " + std::to_string(x) + " out of range");
            put(first + e, int(c), x);
          }
        }
      });
      return b.count;
    }
    CheckArray(v, path);
    size(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
      const json& e = v[i];
      if (comps == 1 && !e.is_array()) {
        const uint32_t x = e.is_string() ? Word(e, Key(path, i)) : uint32_t(Int(e, Key(path, i), 0, hi));
        if (int64_t(x) > hi) Fail(Key(path, i), "value " + std::to_string(x) + " out of range");
        put(i, 0, x);
        continue;
      }
      if (!e.is_array() || e.size() != n) Fail(Key(path, i), "expected an array of " + std::to_string(comps) + " integers");
      for (int c = 0; c < comps; ++c) put(i, c, uint32_t(Int(e[size_t(c)], Key(Key(path, i), size_t(c)), 0, hi)));
    }
    return v.size();
  }

  size_t IndexArray(const json& v, const std::string& path, int comps, std::vector<uint32_t>& out, int64_t hi = 0xffffffffLL);

  // Per-face values (smoothing groups, material ids), one for each of the mesh's faces.
  template <class Put>
  void PerFace(const json& v, const std::string& path, size_t faces, int64_t hi, Put&& put) {
    ReadIndices(
        v, path, 1, hi,
        [&](size_t count) {
          if (count != faces) Fail(path, std::to_string(count) + " entries for " + std::to_string(faces) + " faces");
        },
        [&](size_t i, int, uint32_t x) { put(i, x); });
  }

  // Map faces (or normal faces): three indices below `limit` a face. Channels that name the same
  // buffer range share one array.
  size_t CornerIndices(const json& v, const std::string& path, SharedArray<MapFace>& out, size_t limit,
                       const char* what, const char* of);

  // ---- Scene ---------------------------------------------------------------------------

  void Scene(const json& v, const std::string& path);

  // ---- Nodes ---------------------------------------------------------------------------

  struct PendingNode {
    const json* j;
    std::string path;
    int nestedParent;  // index into pending, or -1
    Node* node = nullptr;
  };
  std::vector<PendingNode> pending;

  void CollectNodes(const json& arr, const std::string& path, int parent);
  const Node* NodeRef(const json& v, const std::string& path);
  void Nodes(const json& arr, const std::string& path);
  void NodeBody(PendingNode& p);

  // ---- Controllers ---------------------------------------------------------------------

  const Controller* ControllerRec(const json& v, const std::string& path, Controller::Value value);

  // ---- Objects -------------------------------------------------------------------------

  const Object* ObjectRef(const json& v, const std::string& path);
  void Mesh(const json& v, const std::string& path, TriMesh& m);
  void Patch(const json& v, const std::string& path, Object& o);
  const Object* ObjectRec(const json& v, const std::string& path, const std::string& id);

  // ---- Modifiers -----------------------------------------------------------------------

  Matrix3 OptMat(const json& v, const std::string& path, const char* key, bool& given);
  const Modifier* ModifierRec(const json& v, const std::string& path, size_t points);
  void CheckWeightedPoints(const std::string& path, size_t listed, size_t points);
  void Skin(const json& v, const std::string& path, SkinData& s);
  void Physique(const json& v, const std::string& path, PhysiqueData& p);

  // ---- Materials and maps --------------------------------------------------------------

  template <typename T, typename Rec>
  const T* TableRef(const json& v, const std::string& path, const json* table, const char* tableName,
                    std::map<std::string, std::pair<State, const T*>>& state, std::map<std::string, const T*>& ids,
                    Rec rec);

  const Material* MaterialRef(const json& v, const std::string& path);
  const Texmap* TexmapRef(const json& v, const std::string& path);
  int ParamTypeCode(const json& v, const std::string& path);
  const ParamBlock* Block(const json& v, const std::string& path);
  void Blocks(const json& v, const std::string& path, std::vector<const ParamBlock*>& out);
  static int StandardSlot(const std::string& name);

  // One sub-map slot: a texmap (reference or inline), null, or {"map": ..., "enabled": false}.
  void MapSlot(const json& v, const std::string& path, Material& m, size_t slot);
  const Material* MaterialRec(const json& v, const std::string& path, const std::string& id);
  int Tiling(const json& v, const std::string& path);
  const Texmap* TexmapRec(const json& v, const std::string& path, const std::string& id);

  // ---- Whole document ------------------------------------------------------------------

  void Document(const json& doc);
};

}  // namespace vorn::scene_doc

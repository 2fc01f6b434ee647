// Reading a scene document: every value is checked where it is read, and every error names
// its place in the document as a JSON pointer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/scene_document.h"
#include "host/scene_document_data.h"

namespace vorn {

SceneError::SceneError(const std::string& where, const std::string& message, const std::string& file)
    : std::runtime_error((file.empty() ? "" : file + ": ") + (where.empty() ? "" : where + ": ") + message),
      where_(where), message_(message), file_(file) {}

namespace {

using json = nlohmann::json;
using namespace scene_doc;

// Large arrays come from sidecar buffers; this bounds what one array may ask for.
constexpr int64_t kMaxElements = int64_t{1} << 28;

[[noreturn]] void Fail(const std::string& path, const std::string& msg) { throw SceneError(path.empty() ? "/" : path, msg); }

std::string Key(const std::string& path, const std::string& key) {
  std::string out = path;
  out += '/';
  for (char c : key) {
    if (c == '~') out += "~0";
    else if (c == '/') out += "~1";
    else out += c;
  }
  return out;
}
std::string Key(const std::string& path, size_t index) { return path + "/" + std::to_string(index); }

const char* TypeName(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::string: return "a string";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    default: return "a number";
  }
}

[[noreturn]] void WrongType(const json& v, const std::string& path, const char* wanted) {
  Fail(path, std::string("expected ") + wanted + ", found " + TypeName(v));
}

void CheckObject(const json& v, const std::string& path) {
  if (!v.is_object()) WrongType(v, path, "an object");
}
void CheckArray(const json& v, const std::string& path) {
  if (!v.is_array()) WrongType(v, path, "an array");
}

// Rejects keys the format does not know, so a misspelt key is not silently ignored.
void CheckKeys(const json& obj, const std::string& path, std::initializer_list<const char*> allowed) {
  CheckObject(obj, path);
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool ok = false;
    for (const char* a : allowed)
      if (it.key() == a) ok = true;
    if (!ok) Fail(Key(path, it.key()), "unknown key '" + it.key() + "'");
  }
}

const json* Find(const json& obj, const char* key) {
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

const json& Require(const json& obj, const std::string& path, const char* key) {
  const json* v = Find(obj, key);
  if (!v) Fail(path, std::string("missing key '") + key + "'");
  return *v;
}

float Float(const json& v, const std::string& path) {
  if (!v.is_number()) WrongType(v, path, "a number");
  double d = v.get<double>();
  float f = static_cast<float>(d);
  if (!std::isfinite(d) || !std::isfinite(f)) Fail(path, "number is not finite in single precision");
  return f;
}

int64_t Int(const json& v, const std::string& path, int64_t lo, int64_t hi) {
  int64_t x = 0;
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
      Fail(path, "integer out of range");
    x = v.get<int64_t>();
  } else if (v.is_number_float()) {
    double d = v.get<double>();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9e15) Fail(path, "expected an integer, found " + v.dump());
    x = static_cast<int64_t>(d);
  } else {
    WrongType(v, path, "an integer");
  }
  if (x < lo || x > hi)
    Fail(path, "value " + std::to_string(x) + " out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
  return x;
}

// A 32-bit word: a number or a hex text such as "0x95c723".
uint32_t Word(const json& v, const std::string& path) {
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    size_t start = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 2 : 0;
    if (start == 0 || s.size() > 10) Fail(path, "expected a hex word like \"0x1f\", found \"" + s + "\"");
    uint32_t x = 0;
    for (size_t i = start; i < s.size(); ++i) {
      char c = s[i];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) Fail(path, "bad hex digit in \"" + s + "\"");
      x = x * 16 + uint32_t(d);
    }
    return x;
  }
  return static_cast<uint32_t>(Int(v, path, 0, 0xffffffffLL));
}

bool Bool(const json& v, const std::string& path) {
  if (!v.is_boolean()) WrongType(v, path, "true or false");
  return v.get<bool>();
}

std::string Str(const json& v, const std::string& path) {
  if (!v.is_string()) WrongType(v, path, "a string");
  return v.get<std::string>();
}

void Floats(const json& v, const std::string& path, float* out, size_t n) {
  if (!v.is_array() || v.size() != n) Fail(path, "expected an array of " + std::to_string(n) + " numbers");
  for (size_t i = 0; i < n; ++i) out[i] = Float(v[i], Key(path, i));
}

Point3 Vec3(const json& v, const std::string& path) {
  float f[3];
  Floats(v, path, f, 3);
  return {f[0], f[1], f[2]};
}

Color Col(const json& v, const std::string& path) {
  float f[3];
  Floats(v, path, f, 3);
  return {f[0], f[1], f[2]};
}

AColor ACol(const json& v, const std::string& path) {
  if (v.is_array() && v.size() == 4) {
    float f[4];
    Floats(v, path, f, 4);
    return {f[0], f[1], f[2], f[3]};
  }
  Color c = Col(v, path);
  return {c.r, c.g, c.b, 1};
}

Quat QuatValue(const json& v, const std::string& path) {
  float f[4];
  Floats(v, path, f, 4);
  Quat q{f[0], f[1], f[2], f[3]};
  if (q.x == 0 && q.y == 0 && q.z == 0 && q.w == 0) Fail(path, "zero quaternion");
  return Normalize(q);
}

ClassID Cls(const json& v, const std::string& path) {
  if (!v.is_array() || v.size() != 2) Fail(path, "expected a class ID [a, b]");
  return {Word(v[0], Key(path, 0)), Word(v[1], Key(path, 1))};
}

struct Trs {
  Point3 t, s{1, 1, 1};
  Quat q;
  bool given = false;
};

Quat EulerDegrees(Point3 e) {
  const float d = kPi / 180.0f;
  return MatrixToQuat(RotateXMatrix(e.x * d) * RotateYMatrix(e.y * d) * RotateZMatrix(e.z * d));
}

// A Matrix3: four rows of three, twelve numbers, or {"translation", "rotation"|"euler", "scale"}.
Matrix3 Mat(const json& v, const std::string& path, Trs* trs = nullptr) {
  Matrix3 m;
  if (v.is_object()) {
    CheckKeys(v, path, {"translation", "rotation", "euler", "scale"});
    Trs parts;
    parts.given = true;
    if (const json* t = Find(v, "translation")) parts.t = Vec3(*t, Key(path, "translation"));
    if (const json* s = Find(v, "scale")) parts.s = Vec3(*s, Key(path, "scale"));
    const json* r = Find(v, "rotation");
    const json* e = Find(v, "euler");
    if (r && e) Fail(path, "give either 'rotation' or 'euler', not both");
    if (r) parts.q = QuatValue(*r, Key(path, "rotation"));
    if (e) parts.q = EulerDegrees(Vec3(*e, Key(path, "euler")));
    m = ScaleMatrix(parts.s) * QuatToMatrix(parts.q) * TransMatrix(parts.t);
    if (trs) *trs = parts;
    return m;
  }
  if (!v.is_array()) WrongType(v, path, "a matrix (4 rows of 3 numbers, 12 numbers or a TRS object)");
  if (v.size() == 4) {
    for (size_t i = 0; i < 4; ++i) m.row[i] = Vec3(v[i], Key(path, i));
  } else if (v.size() == 12) {
    for (size_t i = 0; i < 12; ++i) m.row[i / 3][int(i % 3)] = Float(v[i], Key(path, i));
  } else {
    Fail(path, "a matrix has 4 rows of 3 numbers (or 12 numbers), found " + std::to_string(v.size()) + " entries");
  }
  if (trs) {
    AffineParts p = DecompAffine(m);
    trs->t = p.t;
    trs->q = p.q;
    trs->s = p.k * p.f;
    trs->given = false;
  }
  return m;
}

enum class State { Busy, Done };

// Nesting of inline records and references; deeper documents are refused, not recursed into.
constexpr int kMaxDepth = 200;

template <class Points>
void ToPoints(const std::vector<float>& f, size_t n, Points& out) {
  out.resize(n);
  Point3* p = WritableData(out);
  for (size_t i = 0; i < n; ++i) p[i] = {f[i * 3], f[i * 3 + 1], f[i * 3 + 2]};
}

struct Loader;
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

  const BufferFile& Buffer(const std::string& name, const std::string& path) {
    auto it = buffers.find(name);
    if (it != buffers.end()) return it->second;
    if (name.empty()) Fail(path, "empty buffer file name");
    std::string file = name[0] == '/' ? name : baseDir + "/" + name;
    // Non-blocking, so a pipe with no writer is refused below rather than waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) Fail(path, "cannot open buffer file '" + name + "'");
    // A folder or a device has no size to check counts against (and /dev/zero never ends).
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      Fail(path, "buffer file '" + name + "' is not a file");
    }
    return buffers.emplace(name, BufferFile{fd, uint64_t(st.st_size)}).first->second;
  }

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
  static void ReadElements(const BufferRef& b, size_t first, size_t n, void* dst, const std::string& path) {
    char* out = static_cast<char*>(dst);
    size_t left = n * b.elemSize;
    uint64_t at = b.offset + first * b.elemSize;
    while (left > 0) {
      const ssize_t got = ::pread(b.fd, out, left, off_t(at));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) Fail(path, "cannot read buffer file '" + b.name + "'");
      out += got, at += uint64_t(got), left -= size_t(got);
    }
  }

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
                       int maxComps, size_t scalarSize, const std::string& altScalar = "") {
    CheckKeys(v, path, {"buffer", "offset", "count", "type"});
    std::string name = Str(Require(v, path, "buffer"), Key(path, "buffer"));
    int64_t offset = 0;
    if (const json* o = Find(v, "offset")) offset = Int(*o, Key(path, "offset"), 0, std::numeric_limits<int64_t>::max());
    int64_t count = Int(Require(v, path, "count"), Key(path, "count"), 0, std::numeric_limits<int64_t>::max());
    if (count > kMaxElements) Fail(Key(path, "count"), "count " + std::to_string(count) + " is too large");
    std::string type = Str(Require(v, path, "type"), Key(path, "type"));
    BufferRef r;
    r.type = type;
    r.name = name;
    std::string base = type.substr(0, type.find('x'));
    int comps = 1;
    if (type.find('x') != std::string::npos) {
      std::string c = type.substr(type.find('x') + 1);
      comps = c.size() == 1 && c[0] >= '1' && c[0] <= '4' ? c[0] - '0' : 0;
    }
    bool baseOk = base == scalar || (!altScalar.empty() && base == altScalar);
    if (!baseOk || comps < minComps || comps > maxComps) {
      std::string want = scalar + (minComps > 1 || maxComps > 1 ? "x" + std::to_string(maxComps) : "");
      if (minComps != maxComps) want = scalar + "x" + std::to_string(minComps) + " to " + scalar + "x" + std::to_string(maxComps);
      Fail(Key(path, "type"), "buffer type '" + type + "' does not fit here (expected " + want + ")");
    }
    const size_t elemSize = (base == altScalar && !altScalar.empty() ? 2 : scalarSize) * size_t(comps);
    const BufferFile& file = Buffer(name, Key(path, "buffer"));
    uint64_t need = uint64_t(count) * elemSize;
    if (uint64_t(offset) > file.size || need > file.size - uint64_t(offset))
      Fail(path, "buffer file '" + name + "' is truncated: " + std::to_string(need) + " bytes needed from offset " +
                     std::to_string(offset) + ", the file has " + std::to_string(file.size));
    r.fd = file.fd;
    r.offset = uint64_t(offset);
    r.count = size_t(count);
    r.comps = comps;
    r.elemSize = elemSize;
    return r;
  }

  // Float array: inline (rows of minComps..maxComps numbers, or plain numbers for one
  // component) or a float32 buffer. Out holds maxComps floats per element, zero-padded.
  size_t FloatArray(const json& v, const std::string& path, int minComps, int maxComps, std::vector<float>& out) {
    out.clear();
    if (v.is_object()) {
      BufferRef b = OpenBuffer(v, path, "float32", minComps, maxComps, 4);
      out.assign(b.count * size_t(maxComps), 0.0f);
      if (b.comps == maxComps) {
        ReadElements(b, 0, b.count, out.data(), path);
      } else {
        ForChunks(b, path, [&](size_t first, size_t n, const char* bytes) {
          for (size_t i = 0; i < n; ++i)
            std::memcpy(&out[(first + i) * size_t(maxComps)], bytes + i * b.elemSize, b.elemSize);
        });
      }
      for (size_t i = 0; i < out.size(); ++i)
        if (!std::isfinite(out[i])) Fail(Key(path, i / size_t(maxComps)), "buffer holds a number that is not finite");
      return b.count;
    }
    CheckArray(v, path);
    out.assign(v.size() * size_t(maxComps), 0.0f);
    for (size_t i = 0; i < v.size(); ++i) {
      const json& e = v[i];
      if (maxComps == 1 && !e.is_array()) {
        out[i] = Float(e, Key(path, i));
        continue;
      }
      if (!e.is_array() || e.size() < size_t(minComps) || e.size() > size_t(maxComps)) {
        std::string n = minComps == maxComps ? std::to_string(minComps) : std::to_string(minComps) + " to " + std::to_string(maxComps);
        Fail(Key(path, i), "expected an array of " + n + " numbers");
      }
      for (size_t c = 0; c < e.size(); ++c) out[i * maxComps + c] = Float(e[c], Key(Key(path, i), c));
    }
    return v.size();
  }

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

  size_t IndexArray(const json& v, const std::string& path, int comps, std::vector<uint32_t>& out, int64_t hi = 0xffffffffLL) {
    return ReadIndices(
        v, path, comps, hi, [&](size_t count) { out.assign(count * size_t(comps), 0); },
        [&](size_t i, int k, uint32_t x) { out[i * size_t(comps) + size_t(k)] = x; });
  }

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
                       const char* what, const char* of) {
    std::string key;
    if (v.is_object()) {
      const BufferRef b = OpenBuffer(v, path, "uint32", 3, 3, 4, "uint16");
      key = b.name + '\n' + std::to_string(b.offset) + '\n' + std::to_string(b.count) + '\n' + b.type;
      auto it = cornerArrays.find(key);
      if (it != cornerArrays.end() && it->second.second < limit) {
        out = it->second.first;
        return out.size();
      }
    }
    MapFace* faces = nullptr;
    uint32_t most = 0;
    const size_t count = ReadIndices(
        v, path, 3, 0xffffffffLL,
        [&](size_t n) {
          out.assign(n, MapFace{});
          faces = out.MutableData();
        },
        [&](size_t i, int k, uint32_t x) {
          if (x >= limit)
            Fail(Key(path, i), std::string(what) + " index " + std::to_string(x) + " out of range (" +
                                   std::to_string(limit) + " " + of + ")");
          faces[i].t[k] = x;
          most = std::max(most, x);
        });
    if (!key.empty() && count > 0) cornerArrays[key] = {out, most};
    return count;
  }

  // ---- Scene ---------------------------------------------------------------------------

  void Scene(const json& v, const std::string& path) {
    CheckKeys(v, path, {"animationRange", "ticksPerFrame", "filePath", "directories", "patchRoutine"});
    if (const json* t = Find(v, "ticksPerFrame")) d.ticksPerFrame = int(Int(*t, Key(path, "ticksPerFrame"), 1, kTicksPerSecond));
    d.range = {0, 100 * d.ticksPerFrame};
    if (const json* r = Find(v, "animationRange")) {
      std::string p = Key(path, "animationRange");
      if (!r->is_array() || r->size() != 2) Fail(p, "expected [start, end] in ticks");
      d.range.start = TimeValue(Int((*r)[0], Key(p, 0), INT32_MIN, INT32_MAX));
      d.range.end = TimeValue(Int((*r)[1], Key(p, 1), INT32_MIN, INT32_MAX));
      if (d.range.end < d.range.start) Fail(p, "the range ends before it starts");
    }
    if (const json* f = Find(v, "filePath")) d.filePath = Str(*f, Key(path, "filePath"));
    if (const json* dirs = Find(v, "directories")) {
      std::string p = Key(path, "directories");
      CheckKeys(*dirs, p, {"7", "9", "32"});
      for (auto it = dirs->begin(); it != dirs->end(); ++it) d.dirs[std::stoi(it.key())] = Str(*it, Key(p, it.key()));
    }
    if (const json* pr = Find(v, "patchRoutine")) d.patchRoutine = Bool(*pr, Key(path, "patchRoutine"));
  }

  // ---- Nodes ---------------------------------------------------------------------------

  struct PendingNode {
    const json* j;
    std::string path;
    int nestedParent;  // index into pending, or -1
    Node* node = nullptr;
  };
  std::vector<PendingNode> pending;

  void CollectNodes(const json& arr, const std::string& path, int parent) {
    DepthGuard guard(depth, path);
    CheckArray(arr, path);
    for (size_t i = 0; i < arr.size(); ++i) {
      std::string p = Key(path, i);
      CheckObject(arr[i], p);
      int self = int(pending.size());
      pending.push_back({&arr[i], p, parent});
      if (parent >= 0 && Find(arr[i], "parent")) Fail(Key(p, "parent"), "a node listed under 'children' cannot name a parent");
      if (const json* c = Find(arr[i], "children")) CollectNodes(*c, Key(p, "children"), self);
    }
  }

  const Node* NodeRef(const json& v, const std::string& path) {
    if (v.is_string()) {
      const std::string& name = v.get_ref<const std::string&>();
      auto range = byName.equal_range(name);
      if (range.first == range.second) Fail(path, "no node named '" + name + "'");
      if (std::next(range.first) != range.second) Fail(path, "more than one node is named '" + name + "'; refer to it by handle");
      return range.first->second;
    }
    uint32_t h = uint32_t(Int(v, path, 0, 0xffffffffLL));
    auto it = byHandle.find(h);
    if (it == byHandle.end()) Fail(path, "no node has handle " + std::to_string(h));
    return it->second;
  }

  void Nodes(const json& arr, const std::string& path) {
    CollectNodes(arr, path, -1);
    if (pending.size() > size_t(kMaxElements)) Fail(path, "too many nodes");
    // Names and handles first, so that parents and bones can be referred to in any order.
    std::set<uint32_t> used;
    for (PendingNode& p : pending) {
      auto node = std::make_unique<Node>();
      p.node = node.get();
      const json& j = *p.j;
      CheckKeys(j, p.path, {"name", "handle", "parent", "children", "selected", "hidden", "renderable", "wireColor",
                            "transform", "world", "objectOffset", "object", "mesh", "controller", "material", "samples"});
      node->name = Str(Require(j, p.path, "name"), Key(p.path, "name"));
      if (const json* h = Find(j, "handle")) {
        node->handle = uint32_t(Int(*h, Key(p.path, "handle"), 1, 0xffffffffLL));
        if (!used.insert(node->handle).second) Fail(Key(p.path, "handle"), "handle " + std::to_string(node->handle) + " is used twice");
      }
      d.nodes.push_back(std::move(node));
    }
    uint32_t next = 1;
    for (PendingNode& p : pending) {
      if (p.node->handle != 0) continue;
      while (used.count(next)) ++next;
      p.node->handle = next;
      used.insert(next);
    }
    for (PendingNode& p : pending) {
      byHandle[p.node->handle] = p.node;
      byName.emplace(p.node->name, p.node);
    }
    // Parents, then a cycle check, then children in document order.
    for (PendingNode& p : pending) {
      if (p.nestedParent >= 0) p.node->parent = pending[size_t(p.nestedParent)].node;
      else if (const json* par = Find(*p.j, "parent"); par && !par->is_null()) p.node->parent = NodeRef(*par, Key(p.path, "parent"));
    }
    // Cycle check in linear time: walk up from each node until a node already known to be
    // fine; meeting a node of the current walk again closes a cycle.
    std::map<const Node*, size_t> walk;  // node -> index of the walk that reached it
    std::map<const Node*, size_t> index;
    for (size_t i = 0; i < pending.size(); ++i) index[pending[i].node] = i;
    for (size_t i = 0; i < pending.size(); ++i) {
      for (const Node* n = pending[i].node; n; n = n->parent) {
        auto [it, fresh] = walk.emplace(n, i);
        if (!fresh) {
          if (it->second == i) {
            const PendingNode& at = pending[index[n]];
            Fail(Key(at.path, "parent"), "the node hierarchy has a cycle through '" + at.node->name + "'");
          }
          break;
        }
      }
    }
    for (PendingNode& p : pending) {
      Node* parent = p.node->parent ? const_cast<Node*>(p.node->parent) : &d.root;
      parent->children.push_back(p.node);
    }
  }

  void NodeBody(PendingNode& p) {
    const json& j = *p.j;
    Node& n = *p.node;
    const std::string& path = p.path;
    if (const json* v = Find(j, "selected")) n.selected = Bool(*v, Key(path, "selected"));
    if (const json* v = Find(j, "hidden")) n.hidden = Bool(*v, Key(path, "hidden"));
    if (const json* v = Find(j, "renderable")) n.renderable = Bool(*v, Key(path, "renderable"));
    if (const json* v = Find(j, "wireColor")) n.wireColor = Word(*v, Key(path, "wireColor")) & 0xffffffu;
    if (const json* v = Find(j, "world")) n.world = Bool(*v, Key(path, "world"));
    Trs trs;
    if (const json* v = Find(j, "transform")) n.transform = Mat(*v, Key(path, "transform"), &trs);
    n.staticPos = trs.t;
    n.staticRot = trs.q;
    n.staticScale = trs.s;
    if (const json* v = Find(j, "objectOffset")) n.objectOffset = Mat(*v, Key(path, "objectOffset"));
    const json* obj = Find(j, "object");
    const json* mesh = Find(j, "mesh");
    if (obj && mesh) Fail(path, "give either 'object' or 'mesh', not both");
    if (obj && !obj->is_null()) n.object = ObjectRef(*obj, Key(path, "object"));
    if (mesh) {
      auto o = std::make_unique<Object>();
      o->kind = Object::Kind::Mesh;
      o->cls = kTriObjectClass;
      o->super = kGeomObjectSuper;
      o->hasMesh = true;
      Mesh(*mesh, Key(path, "mesh"), o->mesh);
      n.object = o.get();
      d.objects.push_back(std::move(o));
    }
    if (const json* v = Find(j, "controller"); v && !v->is_null())
      n.controller = ControllerRec(*v, Key(path, "controller"), Controller::Value::Transform);
    if (const json* v = Find(j, "material"); v && !v->is_null()) n.material = MaterialRef(*v, Key(path, "material"));
    if (const json* v = Find(j, "samples")) {
      std::string sp = Key(path, "samples");
      CheckKeys(*v, sp, {"start", "step", "matrices"});
      auto s = std::make_unique<Samples>();
      if (const json* st = Find(*v, "start")) s->start = TimeValue(Int(*st, Key(sp, "start"), INT32_MIN, INT32_MAX));
      s->step = d.ticksPerFrame;
      if (const json* st = Find(*v, "step")) s->step = TimeValue(Int(*st, Key(sp, "step"), 1, INT32_MAX));
      const json& ms = Require(*v, sp, "matrices");
      std::string mp = Key(sp, "matrices");
      CheckArray(ms, mp);
      if (ms.empty()) Fail(mp, "at least one sample is needed");
      s->matrices.reserve(ms.size());
      for (size_t i = 0; i < ms.size(); ++i) s->matrices.push_back(Mat(ms[i], Key(mp, i)));
      n.samples = std::move(s);
    }
  }

  // ---- Controllers ---------------------------------------------------------------------

  const Controller* ControllerRec(const json& v, const std::string& path, Controller::Value value) {
    DepthGuard guard(depth, path);
    auto rec = std::make_unique<Controller>();
    Controller& r = *rec;
    r.value = value;
    if (value == Controller::Value::Transform) {
      CheckKeys(v, path, {"class", "position", "rotation", "scale", "subControllers", "usableKeys"});
      r.cls = kPrsControllerClass;
      if (const json* p = Find(v, "position"); p && !p->is_null()) r.position = ControllerRec(*p, Key(path, "position"), Controller::Value::Position);
      if (const json* p = Find(v, "rotation"); p && !p->is_null()) r.rotation = ControllerRec(*p, Key(path, "rotation"), Controller::Value::Rotation);
      if (const json* p = Find(v, "scale"); p && !p->is_null()) r.scale = ControllerRec(*p, Key(path, "scale"), Controller::Value::Scale);
      for (const Controller* s : {r.position, r.rotation, r.scale})
        if (s) r.subs.push_back(s);
    } else {
      CheckKeys(v, path, {"class", "type", "keys", "value", "x", "y", "z", "subControllers", "usableKeys", "keyInterface", "degrees"});
      std::string type = "keys";
      if (const json* t = Find(v, "type")) type = Str(*t, Key(path, "type"));
      r.width = value == Controller::Value::Rotation ? 4 : value == Controller::Value::Float ? 1 : 3;
      bool compound = false;
      if (type == "xyz" && value == Controller::Value::Position) {
        r.cls = kPositionXyzClass;
        compound = true;
      } else if (type == "xyz" && value == Controller::Value::Scale) {
        r.cls = ClassID{0x118f7c01, 0xfeee238b};
        compound = true;
      } else if (type == "euler" && value == Controller::Value::Rotation) {
        r.cls = kEulerXyzClass;
        compound = true;
      } else if (type == "keys") {
        r.cls = value == Controller::Value::Position   ? kLinearPositionClass
                : value == Controller::Value::Rotation ? kLinearRotationClass
                : value == Controller::Value::Scale    ? kLinearScaleClass
                                                       : kLinearFloatClass;
      } else {
        Fail(Key(path, "type"), "unknown controller type '" + type + "' here");
      }
      if (compound) {
        if (Find(v, "keys")) Fail(Key(path, "keys"), "a '" + type + "' controller keeps its keys in its x, y and z sub-controllers");
        r.width = 3;
        r.compound = true;
        r.degrees = type == "euler";
        if (const json* dg = Find(v, "degrees")) r.degrees = Bool(*dg, Key(path, "degrees"));
        for (const char* axis : {"x", "y", "z"}) {
          const json* a = Find(v, axis);
          if (!a) Fail(path, std::string("missing key '") + axis + "'");
          r.subs.push_back(ControllerRec(*a, Key(path, axis), Controller::Value::Float));
        }
      } else {
        for (const char* axis : {"x", "y", "z"})
          if (Find(v, axis)) Fail(Key(path, axis), "only 'xyz' and 'euler' controllers have axis sub-controllers");
        if (const json* k = Find(v, "keys")) {
          r.keyInterface = true;
          std::string kp = Key(path, "keys");
          CheckArray(*k, kp);
          size_t w = size_t(r.width);
          r.times.reserve(k->size());
          r.values.reserve(k->size() * w);
          for (size_t i = 0; i < k->size(); ++i) {
            const json& e = (*k)[i];
            std::string ep = Key(kp, i);
            if (!e.is_array() || e.size() != w + 1)
              Fail(ep, "expected [time, " + std::to_string(w) + (w == 1 ? " value]" : " values]"));
            TimeValue t = TimeValue(Int(e[0], Key(ep, 0), INT32_MIN, INT32_MAX));
            if (!r.times.empty() && t <= r.times.back()) Fail(Key(ep, 0), "key times must increase");
            r.times.push_back(t);
            if (value == Controller::Value::Rotation) {
              json q = json::array({e[1], e[2], e[3], e[4]});
              Quat qq = QuatValue(q, ep);
              for (int c = 0; c < 4; ++c) r.values.push_back(qq[c]);
            } else {
              for (size_t c = 0; c < w; ++c) r.values.push_back(Float(e[c + 1], Key(ep, c + 1)));
            }
          }
        }
        if (const json* val = Find(v, "value")) {
          std::string vp = Key(path, "value");
          if (value == Controller::Value::Rotation) {
            Quat q = QuatValue(*val, vp);
            for (int c = 0; c < 4; ++c) r.constant[c] = q[c];
          } else if (value == Controller::Value::Float) {
            r.constant[0] = Float(*val, vp);
          } else {
            Floats(*val, vp, r.constant, 3);
          }
        } else if (value == Controller::Value::Scale) {
          r.constant[0] = r.constant[1] = r.constant[2] = 1;
        }
        r.hasValue = Find(v, "value") || Find(v, "keys");
      }
      if (const json* ki = Find(v, "keyInterface")) r.keyInterface = Bool(*ki, Key(path, "keyInterface"));
    }
    if (const json* cls = Find(v, "class")) r.cls = Cls(*cls, Key(path, "class"));
    if (const json* u = Find(v, "usableKeys")) r.usable = Bool(*u, Key(path, "usableKeys")) ? 1 : 0;
    if (const json* subs = Find(v, "subControllers")) {
      std::string sp = Key(path, "subControllers");
      CheckArray(*subs, sp);
      for (size_t i = 0; i < subs->size(); ++i) r.subs.push_back(ControllerRec((*subs)[i], Key(sp, i), Controller::Value::Float));
    }
    const Controller* out = rec.get();
    d.controllers.push_back(std::move(rec));
    return out;
  }

  // ---- Objects -------------------------------------------------------------------------

  const Object* ObjectRef(const json& v, const std::string& path) {
    if (v.is_string()) {
      std::string id = v.get<std::string>();
      auto st = objectState.find(id);
      if (st != objectState.end()) {
        if (st->second.first == State::Busy) Fail(path, "object '" + id + "' refers to itself through its inputs");
        return st->second.second;
      }
      const json* table = objectsTable ? Find(*objectsTable, id.c_str()) : nullptr;
      if (!table) Fail(path, "no object '" + id + "' in /objects");
      objectState[id] = {State::Busy, nullptr};
      const Object* o = ObjectRec(*table, Key("/objects", id), id);
      objectState[id] = {State::Done, o};
      d.objectIds[id] = o;
      return o;
    }
    return ObjectRec(v, path, "");
  }

  void Mesh(const json& v, const std::string& path, TriMesh& m) {
    CheckKeys(v, path, {"vertices", "faces", "smoothingGroups", "materialIds", "maps", "normals"});
    size_t nv = PointArray(Require(v, path, "vertices"), Key(path, "vertices"), 3, m.verts);
    const json& faces = Require(v, path, "faces");
    std::string fp = Key(path, "faces");
    TriFace* out = nullptr;
    if (faces.is_object()) {
      ReadIndices(
          faces, fp, 3, 0xffffffffLL,
          [&](size_t count) {
            m.faces.assign(count, TriFace{});
            out = m.faces.MutableData();
          },
          [&](size_t i, int k, uint32_t x) { out[i].v[k] = x; });
    } else {
      CheckArray(faces, fp);
      m.faces.resize(faces.size());
      out = m.faces.MutableData();
      for (size_t i = 0; i < faces.size(); ++i) {
        const json& e = faces[i];
        std::string ep = Key(fp, i);
        if (!e.is_array() || e.size() < 3 || e.size() > 5)
          Fail(ep, "expected [v0, v1, v2] with an optional smoothing-group mask and material id");
        TriFace& face = out[i];
        for (size_t k = 0; k < 3; ++k) face.v[k] = uint32_t(Int(e[k], Key(ep, k), 0, 0xffffffffLL));
        if (e.size() > 3) face.smGroup = Word(e[3], Key(ep, 3));
        if (e.size() > 4) face.matID = uint16_t(Int(e[4], Key(ep, 4), 0, 0xffff));
      }
    }
    for (size_t i = 0; i < m.faces.size(); ++i)
      for (int k = 0; k < 3; ++k)
        if (m.faces[i].v[k] >= nv)
          Fail(Key(fp, i), "vertex index " + std::to_string(m.faces[i].v[k]) + " out of range (" + std::to_string(nv) + " vertices)");
    if (const json* sg = Find(v, "smoothingGroups"))
      PerFace(*sg, Key(path, "smoothingGroups"), m.faces.size(), 0xffffffffLL,
              [&](size_t i, uint32_t x) { out[i].smGroup = x; });
    if (const json* mi = Find(v, "materialIds"))
      PerFace(*mi, Key(path, "materialIds"), m.faces.size(), 0xffff,
              [&](size_t i, uint32_t x) { out[i].matID = uint16_t(x); });
    if (const json* maps = Find(v, "maps")) {
      std::string mp = Key(path, "maps");
      CheckObject(*maps, mp);
      for (auto it = maps->begin(); it != maps->end(); ++it) {
        std::string cp = Key(mp, it.key());
        int ch = 0;
        try {
          size_t used = 0;
          ch = std::stoi(it.key(), &used);
          if (used != it.key().size()) throw std::invalid_argument("");
        } catch (const std::exception&) {
          Fail(cp, "map channels are named by number (-2 to 99)");
        }
        if (ch < TriMesh::kMinChannel || ch > TriMesh::kMaxChannel) Fail(cp, "map channel " + it.key() + " out of range (-2 to 99)");
        CheckKeys(*it, cp, {"vertices", "faces"});
        MapChannel& c = m.Map(ch);
        c.supported = true;
        size_t nmv = PointArray(Require(*it, cp, "vertices"), Key(cp, "vertices"), 1, c.verts);
        std::string mfp = Key(cp, "faces");
        size_t nmf = CornerIndices(Require(*it, cp, "faces"), mfp, c.faces, nmv, "map vertex", "map vertices");
        if (nmf != m.faces.size())
          Fail(mfp, std::to_string(nmf) + " map faces for " + std::to_string(m.faces.size()) + " faces");
      }
    }
    if (const json* nrm = Find(v, "normals")) {
      std::string np = Key(path, "normals");
      CheckKeys(*nrm, np, {"normals", "faces"});
      size_t nn = PointArray(Require(*nrm, np, "normals"), Key(np, "normals"), 3, m.specified.normals);
      CornerIndices(Require(*nrm, np, "faces"), Key(np, "faces"), m.specified.faces, nn, "normal", "normals");
      m.hasSpecifiedNormals = true;
    }
  }

  void Patch(const json& v, const std::string& path, Object& o) {
    CheckKeys(v, path, {"vertices", "patches", "steps"});
    size_t nv = PointArray(Require(v, path, "vertices"), Key(path, "vertices"), 3, o.patch.verts);
    const json& ps = Require(v, path, "patches");
    std::string pp = Key(path, "patches");
    CheckArray(ps, pp);
    o.patch.patches.resize(ps.size());
    for (size_t i = 0; i < ps.size(); ++i) {
      const json& e = ps[i];
      std::string ep = Key(pp, i);
      if (!e.is_array() || (e.size() != 3 && e.size() != 4)) Fail(ep, "a patch has 3 or 4 corner vertices");
      ::vorn::Patch& p = o.patch.patches[i];
      p.type = int(e.size());
      for (size_t k = 0; k < e.size(); ++k) {
        p.v[k] = uint32_t(Int(e[k], Key(ep, k), 0, 0xffffffffLL));
        if (p.v[k] >= nv) Fail(Key(ep, k), "vertex index " + std::to_string(p.v[k]) + " out of range (" + std::to_string(nv) + " vertices)");
      }
    }
    if (const json* s = Find(v, "steps")) o.patchSteps = int(Int(*s, Key(path, "steps"), 1, 64));
    const uint64_t triangles = uint64_t(o.patch.patches.size()) * uint64_t(o.patchSteps) * uint64_t(o.patchSteps) * 2;
    if (triangles > uint64_t(kMaxElements))
      Fail(path, "tessellation would give " + std::to_string(triangles) + " triangles, too many");
  }

  const Object* ObjectRec(const json& v, const std::string& path, const std::string& id) {
    DepthGuard guard(depth, path);
    CheckObject(v, path);
    auto obj = std::make_unique<Object>();
    Object& o = *obj;
    o.id = id;
    std::string type = Str(Require(v, path, "type"), Key(path, "type"));
    std::initializer_list<const char*> common = {"type", "class", "super", "points", "convertible"};
    auto keys = [&](std::initializer_list<const char*> extra) {
      std::vector<const char*> all(common);
      all.insert(all.end(), extra);
      for (auto it = v.begin(); it != v.end(); ++it)
        if (std::find_if(all.begin(), all.end(), [&](const char* a) { return it.key() == a; }) == all.end())
          Fail(Key(path, it.key()), "unknown key '" + it.key() + "' for a " + type + " object");
    };
    if (type == "mesh") {
      keys({"mesh"});
      o.kind = Object::Kind::Mesh;
      o.cls = kTriObjectClass;
      o.super = kGeomObjectSuper;
      o.hasMesh = true;
      Mesh(Require(v, path, "mesh"), Key(path, "mesh"), o.mesh);
    } else if (type == "patch") {
      keys({"patch"});
      o.kind = Object::Kind::Patch;
      o.cls = {0x1030, 0};
      o.super = kGeomObjectSuper;
      Patch(Require(v, path, "patch"), Key(path, "patch"), o);
    } else if (type == "shape") {
      keys({"mesh"});
      o.kind = Object::Kind::Shape;
      o.cls = {0xa, 0};
      o.super = kShapeSuper;
    } else if (type == "helper" || type == "dummy") {
      keys({});
      o.kind = Object::Kind::Helper;
      o.cls = type == "dummy" ? ClassID{0x876234, 0} : ClassID{0x2008, 0};
      o.super = kHelperSuper;
    } else if (type == "bone" || type == "biped") {
      keys({"mesh", "length", "width"});
      o.kind = Object::Kind::Geometry;
      o.cls = type == "bone" ? ClassID{0x28bf6e8d, 0x2ecca840} : ClassID{0x9125, 0};
      o.super = kGeomObjectSuper;
      if (!Find(v, "mesh")) {
        float len = 10, width = 2;
        if (const json* l = Find(v, "length")) len = Float(*l, Key(path, "length"));
        if (const json* w = Find(v, "width")) width = Float(*w, Key(path, "width"));
        MakeBoneMesh(len, width, o.mesh);
        o.hasMesh = true;
      }
    } else if (type == "geometry") {
      keys({"mesh"});
      o.kind = Object::Kind::Geometry;
      o.super = kGeomObjectSuper;
      if (!Find(v, "class")) Fail(path, "a geometry object needs its 'class'");
    } else if (type == "derived") {
      keys({"input", "modifiers"});
      o.kind = Object::Kind::Derived;
      o.cls = {0xd, 0};
      o.super = kGenDerivObjectSuper;
    } else if (type == "other") {
      keys({"mesh"});
      o.kind = Object::Kind::Other;
      if (!Find(v, "class") || !Find(v, "super")) Fail(path, "an 'other' object needs its 'class' and 'super'");
    } else {
      Fail(Key(path, "type"), "unknown object type '" + type + "' (mesh, patch, shape, helper, dummy, bone, biped, geometry, derived, other)");
    }
    if (const json* c = Find(v, "class")) o.cls = Cls(*c, Key(path, "class"));
    if (const json* s = Find(v, "super")) o.super = Word(*s, Key(path, "super"));
    if (o.kind != Object::Kind::Mesh)
      if (const json* m = Find(v, "mesh")) {
        Mesh(*m, Key(path, "mesh"), o.mesh);
        o.hasMesh = true;
      }
    if (const json* c = Find(v, "convertible")) o.convertible = Bool(*c, Key(path, "convertible")) ? 1 : 0;
    if (o.kind == Object::Kind::Derived) {
      o.input = ObjectRef(Require(v, path, "input"), Key(path, "input"));
      if (const json* mods = Find(v, "modifiers")) {
        std::string mp = Key(path, "modifiers");
        CheckArray(*mods, mp);
        size_t points = BasePointCount(*o.input);
        for (size_t i = 0; i < mods->size(); ++i) {
          if ((*mods)[i].is_null()) {
            o.modifiers.push_back(nullptr);  // an absent modifier slot
            continue;
          }
          o.modifiers.push_back(ModifierRec((*mods)[i], Key(mp, i), points));
        }
      }
    }
    if (const json* pts = Find(v, "points")) {
      std::vector<float> f;
      size_t n = FloatArray(*pts, Key(path, "points"), 3, 3, f);
      ToPoints(f, n, o.points);
      o.explicitPoints = true;
    }
    const Object* out = obj.get();
    d.objects.push_back(std::move(obj));
    return out;
  }

  // ---- Modifiers -----------------------------------------------------------------------

  Matrix3 OptMat(const json& v, const std::string& path, const char* key, bool& given) {
    const json* m = Find(v, key);
    given = m && !m->is_null();
    return given ? Mat(*m, Key(path, key)) : Matrix3{};
  }

  const Modifier* ModifierRec(const json& v, const std::string& path, size_t points) {
    CheckObject(v, path);
    auto mod = std::make_unique<Modifier>();
    Modifier& m = *mod;
    std::string type = Str(Require(v, path, "type"), Key(path, "type"));
    if (type == "skin") {
      CheckKeys(v, path, {"type", "class", "flags", "enabled", "bones", "nodeInitTM", "nodeInitObjectTM", "weights"});
      m.kind = Modifier::Kind::Skin;
      m.cls = kSkinClass;
      m.skin = std::make_unique<SkinData>();
      Skin(v, path, *m.skin);
    } else if (type == "physique") {
      CheckKeys(v, path, {"type", "class", "flags", "enabled", "bones", "nodeInitTM", "vertices"});
      m.kind = Modifier::Kind::Physique;
      m.cls = kPhysiqueClass;
      m.physique = std::make_unique<PhysiqueData>();
      Physique(v, path, *m.physique);
    } else if (type == "xform") {
      CheckKeys(v, path, {"type", "class", "flags", "enabled", "matrix"});
      m.kind = Modifier::Kind::Xform;
      m.cls = {0x25215824, 0};
      m.xform = Mat(Require(v, path, "matrix"), Key(path, "matrix"));
    } else if (type == "edit") {
      CheckKeys(v, path, {"type", "class", "flags", "enabled", "moves"});
      m.kind = Modifier::Kind::Edit;
      m.cls = {0x50, 0};
      const json& mv = Require(v, path, "moves");
      std::string mp = Key(path, "moves");
      CheckArray(mv, mp);
      for (size_t i = 0; i < mv.size(); ++i) {
        const json& e = mv[i];
        std::string ep = Key(mp, i);
        if (!e.is_array() || e.size() != 4) Fail(ep, "expected [point, dx, dy, dz]");
        uint32_t p = uint32_t(Int(e[0], Key(ep, 0), 0, 0xffffffffLL));
        if (p >= points) Fail(Key(ep, 0), "point index " + std::to_string(p) + " out of range (" + std::to_string(points) + " points)");
        m.moves.emplace_back(p, Point3{Float(e[1], Key(ep, 1)), Float(e[2], Key(ep, 2)), Float(e[3], Key(ep, 3))});
      }
    } else if (type == "other") {
      CheckKeys(v, path, {"type", "class", "flags", "enabled"});
      if (!Find(v, "class")) Fail(path, "an 'other' modifier needs its 'class'");
    } else {
      Fail(Key(path, "type"), "unknown modifier type '" + type + "' (skin, physique, xform, edit, other)");
    }
    if (const json* c = Find(v, "class")) m.cls = Cls(*c, Key(path, "class"));
    if (const json* f = Find(v, "flags")) m.flags = Word(*f, Key(path, "flags"));
    if (const json* e = Find(v, "enabled")) {
      if (Bool(*e, Key(path, "enabled"))) m.flags &= ~kModifierDisabledFlag;
      else m.flags |= kModifierDisabledFlag;
    }
    const Modifier* out = mod.get();
    d.modifiers.push_back(std::move(mod));
    return out;
  }

  void Skin(const json& v, const std::string& path, SkinData& s) {
    s.nodeInit = OptMat(v, path, "nodeInitTM", s.hasNodeInit);
    s.nodeInitObject = OptMat(v, path, "nodeInitObjectTM", s.hasNodeInitObject);
    if (const json* bones = Find(v, "bones")) {
      std::string bp = Key(path, "bones");
      CheckArray(*bones, bp);
      for (size_t i = 0; i < bones->size(); ++i) {
        const json& b = (*bones)[i];
        std::string ep = Key(bp, i);
        SkinData::BoneEntry bone;
        if (b.is_object()) {
          CheckKeys(b, ep, {"node", "initTM", "initObjectTM"});
          bone.node = NodeRef(Require(b, ep, "node"), Key(ep, "node"));
          bone.init = OptMat(b, ep, "initTM", bone.hasInit);
          bone.initObject = OptMat(b, ep, "initObjectTM", bone.hasInitObject);
        } else if (!b.is_null()) {
          bone.node = NodeRef(b, ep);
        }
        s.bones.push_back(bone);
      }
    }
    SkinContextData& c = s.context;
    c.offsets.assign(1, 0);
    const json* w = Find(v, "weights");
    if (!w) return;
    std::string wp = Key(path, "weights");
    const int64_t nb = int64_t(s.bones.size());
    if (w->is_object()) {
      // Flat form: per point a count, then the bone indices and weights one after another.
      CheckKeys(*w, wp, {"counts", "bones", "weights"});
      std::vector<uint32_t> counts, bonesIdx;
      std::vector<float> weights;
      IndexArray(Require(*w, wp, "counts"), Key(wp, "counts"), 1, counts);
      IndexArray(Require(*w, wp, "bones"), Key(wp, "bones"), 1, bonesIdx);
      FloatArray(Require(*w, wp, "weights"), Key(wp, "weights"), 1, 1, weights);
      uint64_t total = 0;
      for (uint32_t n : counts) total += n;
      if (total != bonesIdx.size() || total != weights.size())
        Fail(wp, "counts add up to " + std::to_string(total) + " but there are " + std::to_string(bonesIdx.size()) +
                     " bone indices and " + std::to_string(weights.size()) + " weights");
      c.offsets.reserve(counts.size() + 1);
      for (uint32_t n : counts) c.offsets.push_back(c.offsets.back() + n);
      c.bones.resize(bonesIdx.size());
      for (size_t i = 0; i < bonesIdx.size(); ++i) {
        if (int64_t(bonesIdx[i]) >= nb)
          Fail(Key(Key(wp, "bones"), i), "bone index " + std::to_string(bonesIdx[i]) + " out of range (" + std::to_string(nb) + " bones)");
        c.bones[i] = int32_t(bonesIdx[i]);
      }
      c.weights = std::move(weights);
      return;
    }
    CheckArray(*w, wp);
    c.offsets.reserve(w->size() + 1);
    for (size_t i = 0; i < w->size(); ++i) {
      const json& pt = (*w)[i];
      std::string pp = Key(wp, i);
      CheckArray(pt, pp);
      for (size_t j = 0; j < pt.size(); ++j) {
        const json& a = pt[j];
        std::string ap = Key(pp, j);
        if (!a.is_array() || a.size() != 2) Fail(ap, "expected [bone index, weight]");
        int64_t b = Int(a[0], Key(ap, 0), -1, INT32_MAX);
        if (b >= nb) Fail(Key(ap, 0), "bone index " + std::to_string(b) + " out of range (" + std::to_string(nb) + " bones)");
        c.bones.push_back(int32_t(b));
        c.weights.push_back(Float(a[1], Key(ap, 1)));
      }
      c.offsets.push_back(uint32_t(c.bones.size()));
    }
  }

  void Physique(const json& v, const std::string& path, PhysiqueData& p) {
    p.nodeInit = OptMat(v, path, "nodeInitTM", p.hasNodeInit);
    p.context.owner = &p;
    if (const json* bones = Find(v, "bones")) {
      std::string bp = Key(path, "bones");
      CheckArray(*bones, bp);
      for (size_t i = 0; i < bones->size(); ++i) {
        std::string ep = Key(bp, i);
        CheckKeys((*bones)[i], ep, {"node", "initTM"});
        const Node* n = NodeRef(Require((*bones)[i], ep, "node"), Key(ep, "node"));
        p.boneInit.emplace_back(n, Mat(Require((*bones)[i], ep, "initTM"), Key(ep, "initTM")));
      }
    }
    const json* vs = Find(v, "vertices");
    if (!vs) return;
    std::string vp = Key(path, "vertices");
    CheckArray(*vs, vp);
    p.vertices.resize(vs->size());
    for (size_t i = 0; i < vs->size(); ++i) {
      const json& e = (*vs)[i];
      std::string ep = Key(vp, i);
      CheckKeys(e, ep, {"rigid", "blended", "type"});
      PhysiqueVertexData& pv = p.vertices[i];
      const json* rigid = Find(e, "rigid");
      const json* blended = Find(e, "blended");
      if (rigid && blended) Fail(ep, "a vertex is either 'rigid' or 'blended'");
      if (rigid) {
        pv.type = kPhysiqueRigidType;
        pv.nodes.push_back(NodeRef(*rigid, Key(ep, "rigid")));
        pv.weights.push_back(1.0f);
      } else if (blended) {
        pv.type = kPhysiqueBlendedType;
        std::string bp = Key(ep, "blended");
        CheckArray(*blended, bp);
        for (size_t j = 0; j < blended->size(); ++j) {
          const json& a = (*blended)[j];
          std::string ap = Key(bp, j);
          if (!a.is_array() || a.size() != 2) Fail(ap, "expected [node, weight]");
          pv.nodes.push_back(NodeRef(a[0], Key(ap, 0)));
          pv.weights.push_back(Float(a[1], Key(ap, 1)));
        }
      } else if (!Find(e, "type")) {
        Fail(ep, "a vertex needs 'rigid', 'blended' or 'type'");
      }
      if (const json* t = Find(e, "type")) pv.type = int(Int(*t, Key(ep, "type"), 0, 255));
    }
  }

  // ---- Materials and maps --------------------------------------------------------------

  template <typename T, typename Rec>
  const T* TableRef(const json& v, const std::string& path, const json* table, const char* tableName,
                    std::map<std::string, std::pair<State, const T*>>& state, std::map<std::string, const T*>& ids,
                    Rec rec) {
    if (v.is_string()) {
      std::string id = v.get<std::string>();
      auto st = state.find(id);
      if (st != state.end()) {
        if (st->second.first == State::Busy) Fail(path, std::string("'") + id + "' contains itself");
        return st->second.second;
      }
      const json* body = table ? Find(*table, id.c_str()) : nullptr;
      if (!body) Fail(path, "no entry '" + id + "' in /" + tableName);
      state[id] = {State::Busy, nullptr};
      const T* r = (this->*rec)(*body, Key(std::string("/") + tableName, id), id);
      state[id] = {State::Done, r};
      ids[id] = r;
      return r;
    }
    return (this->*rec)(v, path, "");
  }

  const Material* MaterialRef(const json& v, const std::string& path) {
    return TableRef<Material>(v, path, materialsTable, "materials", materialState, d.materialIds, &Loader::MaterialRec);
  }
  const Texmap* TexmapRef(const json& v, const std::string& path) {
    if (v.is_null()) return nullptr;
    return TableRef<Texmap>(v, path, texmapsTable, "texmaps", texmapState, d.texmapIds, &Loader::TexmapRec);
  }

  int ParamTypeCode(const json& v, const std::string& path) {
    if (v.is_string()) {
      static const std::pair<const char*, int> names[] = {
          {"float", 0}, {"int", 1}, {"rgba", 2}, {"point3", 3}, {"bool", 4}, {"angle", 5}, {"percent", 6},
          {"worldUnits", 7}, {"string", 8}, {"filename", 9}, {"texmap", 15}, {"bitmap", 16}, {"frgba", 22}, {"point4", 23}};
      for (auto& [n, c] : names)
        if (v.get_ref<const std::string&>() == n) return c;
      Fail(path, "unknown parameter type '" + v.get<std::string>() + "'");
    }
    return int(Int(v, path, 0, 255));
  }

  const ParamBlock* Block(const json& v, const std::string& path) {
    CheckArray(v, path);
    auto b = std::make_unique<ParamBlock>();
    for (size_t i = 0; i < v.size(); ++i) {
      std::string ep = Key(path, i);
      CheckKeys(v[i], ep, {"name", "type", "value"});
      ParamEntry e;
      e.name = Str(Require(v[i], ep, "name"), Key(ep, "name"));
      int type = ParamTypeCode(Require(v[i], ep, "type"), Key(ep, "type"));
      e.value.type = type;
      const json* val = Find(v[i], "value");
      std::string vp = Key(ep, "value");
      if (val && !val->is_null()) {
        switch (type) {
          case 0: case 5: case 6: case 7: e.value.f[0] = Float(*val, vp); break;
          case 1: case 4:
            e.value.i = val->is_boolean() ? int(val->get<bool>()) : int(Int(*val, vp, INT32_MIN, INT32_MAX));
            e.value.f[0] = float(e.value.i);
            break;
          case 2: case 3: Floats(*val, vp, e.value.f, 3); break;
          case 22: case 23: Floats(*val, vp, e.value.f, 4); break;
          case 8: case 9: case 16: e.value.s = Str(*val, vp); break;
          case 15: e.value.map = TexmapRef(*val, vp); break;
          default: break;  // kept by name and type only
        }
      }
      b->params.push_back(std::move(e));
    }
    const ParamBlock* out = b.get();
    d.blocks.push_back(std::move(b));
    return out;
  }

  void Blocks(const json& v, const std::string& path, std::vector<const ParamBlock*>& out) {
    CheckArray(v, path);
    for (size_t i = 0; i < v.size(); ++i) out.push_back(Block(v[i], Key(path, i)));
  }

  static int StandardSlot(const std::string& name) {
    static const char* names[] = {"ambient", "diffuse", "specular", "glossiness", "specularLevel", "selfIllumination",
                                  "opacity", "filterColor", "bump", "reflection", "refraction", "displacement"};
    for (int i = 0; i < 12; ++i)
      if (name == names[i]) return i;
    return -1;
  }

  // One sub-map slot: a texmap (reference or inline), null, or {"map": ..., "enabled": false}.
  void MapSlot(const json& v, const std::string& path, Material& m, size_t slot) {
    if (m.maps.size() <= slot) {
      m.maps.resize(slot + 1, nullptr);
      m.mapOn.resize(slot + 1, 1);
    }
    if (v.is_object() && Find(v, "map") && !Find(v, "type")) {
      CheckKeys(v, path, {"map", "enabled"});
      m.maps[slot] = TexmapRef(v["map"], Key(path, "map"));
      if (const json* e = Find(v, "enabled")) m.mapOn[slot] = Bool(*e, Key(path, "enabled"));
      return;
    }
    m.maps[slot] = TexmapRef(v, path);
  }

  const Material* MaterialRec(const json& v, const std::string& path, const std::string& id) {
    DepthGuard guard(depth, path);
    CheckKeys(v, path, {"type", "class", "name", "interfaces", "ambient", "diffuse", "specular", "shininess",
                        "shininessStrength", "transparency", "selfIllum", "selfIllumColor", "maps", "subMaterials",
                        "paramBlocks", "effectFile", "effectBitmaps", "usesChannels"});
    auto mat = std::make_unique<Material>();
    Material& m = *mat;
    m.id = id;
    m.name = id;
    std::string type = "standard";
    if (const json* t = Find(v, "type")) type = Str(*t, Key(path, "type"));
    bool standard = type == "standard";
    if (standard) {
      m.cls = kStandardMtlClass;
      m.maps.assign(12, nullptr);
      m.mapOn.assign(12, 1);
    } else if (type == "multi") {
      m.cls = kMultiMtlClass;
    } else if (type == "shader") {
      m.cls = kShaderMtlClass;
      m.interfaces.push_back(kShaderInterface);
    } else if (type == "other") {
      if (!Find(v, "class")) Fail(path, "an 'other' material needs its 'class'");
    } else {
      Fail(Key(path, "type"), "unknown material type '" + type + "' (standard, multi, shader, other)");
    }
    if (const json* c = Find(v, "class")) m.cls = Cls(*c, Key(path, "class"));
    if (const json* n = Find(v, "name")) m.name = Str(*n, Key(path, "name"));
    if (const json* ifs = Find(v, "interfaces")) {
      std::string ip = Key(path, "interfaces");
      CheckArray(*ifs, ip);
      for (size_t i = 0; i < ifs->size(); ++i) m.interfaces.push_back(Cls((*ifs)[i], Key(ip, i)));
    }
    if (const json* c = Find(v, "ambient")) m.ambient = Col(*c, Key(path, "ambient"));
    if (const json* c = Find(v, "diffuse")) m.diffuse = Col(*c, Key(path, "diffuse"));
    if (const json* c = Find(v, "specular")) m.specular = Col(*c, Key(path, "specular"));
    if (const json* c = Find(v, "shininess")) m.shininess = Float(*c, Key(path, "shininess"));
    if (const json* c = Find(v, "shininessStrength")) m.shinStr = Float(*c, Key(path, "shininessStrength"));
    if (const json* c = Find(v, "transparency")) m.transparency = Float(*c, Key(path, "transparency"));
    if (const json* c = Find(v, "selfIllum")) m.selfIllum = Float(*c, Key(path, "selfIllum"));
    if (const json* c = Find(v, "selfIllumColor")) {
      m.selfIllumColor = Col(*c, Key(path, "selfIllumColor"));
      m.selfIllumColorOn = true;
    }
    if (const json* maps = Find(v, "maps")) {
      std::string mp = Key(path, "maps");
      if (maps->is_array()) {
        for (size_t i = 0; i < maps->size(); ++i) MapSlot((*maps)[i], Key(mp, i), m, i);
      } else {
        CheckObject(*maps, mp);
        for (auto it = maps->begin(); it != maps->end(); ++it) {
          std::string sp = Key(mp, it.key());
          int slot = StandardSlot(it.key());
          if (slot < 0) {
            size_t used = 0;
            try {
              slot = std::stoi(it.key(), &used);
            } catch (const std::exception&) {
              used = 0;
            }
            if (used != it.key().size() || slot < 0 || slot > 255)
              Fail(sp, "a map slot is a number (0 to 255) or a standard slot name such as 'diffuse'");
          }
          MapSlot(*it, sp, m, size_t(slot));
        }
      }
    }
    if (const json* subs = Find(v, "subMaterials")) {
      std::string sp = Key(path, "subMaterials");
      CheckArray(*subs, sp);
      for (size_t i = 0; i < subs->size(); ++i)
        m.subs.push_back((*subs)[i].is_null() ? nullptr : MaterialRef((*subs)[i], Key(sp, i)));
    }
    if (const json* b = Find(v, "paramBlocks")) Blocks(*b, Key(path, "paramBlocks"), m.blocks);
    if (const json* ef = Find(v, "effectFile")) {
      // The shader material keeps its effect file in a block after the parameter block.
      if (m.blocks.empty()) {
        auto empty = std::make_unique<ParamBlock>();
        m.blocks.push_back(empty.get());
        d.blocks.push_back(std::move(empty));
      }
      auto fb = std::make_unique<ParamBlock>();
      ParamEntry e;
      e.name = "effectFile";
      e.value.type = 9;
      e.value.s = Str(*ef, Key(path, "effectFile"));
      fb->params.push_back(std::move(e));
      m.blocks.push_back(fb.get());
      d.blocks.push_back(std::move(fb));
    }
    if (const json* eb = Find(v, "effectBitmaps")) {
      std::string ep = Key(path, "effectBitmaps");
      CheckArray(*eb, ep);
      m.interfaces.push_back(kEffectBitmapInterface);
      for (size_t i = 0; i < eb->size(); ++i) {
        const json& e = (*eb)[i];
        std::string bp = Key(ep, i);
        EffectBitmap b;
        if (!e.is_null()) {
          CheckKeys(e, bp, {"path", "channel"});
          b.present = true;
          b.path = Str(Require(e, bp, "path"), Key(bp, "path"));
          if (const json* c = Find(e, "channel")) b.channel = int(Int(*c, Key(bp, "channel"), -2, 99));
        }
        m.effectBitmaps.push_back(std::move(b));
      }
    }
    if (const json* u = Find(v, "usesChannels")) m.usesChannels = Bool(*u, Key(path, "usesChannels"));
    const Material* out = mat.get();
    d.materials.push_back(std::move(mat));
    return out;
  }

  int Tiling(const json& v, const std::string& path) {
    if (v.is_array()) {
      int flags = 0;
      for (size_t i = 0; i < v.size(); ++i) {
        std::string s = Str(v[i], Key(path, i));
        if (s == "uWrap") flags |= 1;
        else if (s == "vWrap") flags |= 2;
        else if (s == "uMirror") flags |= 4;
        else if (s == "vMirror") flags |= 8;
        else Fail(Key(path, i), "unknown tiling flag '" + s + "' (uWrap, vWrap, uMirror, vMirror)");
      }
      return flags;
    }
    return int(Int(v, path, 0, 15));
  }

  const Texmap* TexmapRec(const json& v, const std::string& path, const std::string& id) {
    DepthGuard guard(depth, path);
    CheckKeys(v, path, {"type", "class", "name", "file", "channel", "tiling", "uvTransform", "crop", "subMaps", "map",
                        "bump", "paramBlocks", "color", "color1", "color2", "color3", "position", "gradientType", "size"});
    auto tex = std::make_unique<Texmap>();
    Texmap& t = *tex;
    t.id = id;
    t.name = id;
    std::string type = Str(Require(v, path, "type"), Key(path, "type"));
    auto only = [&](std::initializer_list<const char*> keys, const char* what) {
      for (const char* k : keys)
        if (Find(v, k)) Fail(Key(path, k), std::string("'") + k + "' belongs to " + what + " maps");
    };
    if (type != "bitmap") only({"file", "crop"}, "bitmap");
    if (type != "normalmap") only({"map", "bump"}, "normalmap");
    if (type != "gradient") only({"color3", "position", "gradientType"}, "gradient");
    if (type != "noise") only({"size"}, "noise");
    if (type == "bitmap") {
      t.kind = Texmap::Kind::Bitmap;
      t.cls = kBitmapTexClass;
      t.color1 = {1, 1, 1, 1};
    } else if (type == "normalmap") {
      t.kind = Texmap::Kind::NormalMap;
      t.cls = kNormalMapClass;
    } else if (type == "vertexcolor") {
      t.kind = Texmap::Kind::VertexColor;
      t.cls = kVertexColorClass;
      t.channel = 0;
      t.color1 = {1, 1, 1, 1};
    } else if (type == "checker") {
      t.kind = Texmap::Kind::Checker;
      t.cls = kCheckerClass;
    } else if (type == "gradient") {
      t.kind = Texmap::Kind::Gradient;
      t.cls = kGradientClass;
      t.color1 = {1, 1, 1, 1};
      t.color2 = {0.5f, 0.5f, 0.5f, 1};
      t.color3 = {0, 0, 0, 1};
    } else if (type == "noise") {
      t.kind = Texmap::Kind::Noise;
      t.cls = kNoiseClass;
    } else if (type == "other") {
      t.kind = Texmap::Kind::Other;
      if (!Find(v, "class")) Fail(path, "an 'other' map needs its 'class'");
      t.color1 = {0.5f, 0.5f, 0.5f, 1};
    } else {
      Fail(Key(path, "type"), "unknown map type '" + type + "' (bitmap, normalmap, vertexcolor, checker, gradient, noise, other)");
    }
    if (const json* c = Find(v, "class")) t.cls = Cls(*c, Key(path, "class"));
    if (const json* n = Find(v, "name")) t.name = Str(*n, Key(path, "name"));
    if (const json* f = Find(v, "file")) t.file = Str(*f, Key(path, "file"));
    if (const json* c = Find(v, "channel")) t.channel = int(Int(*c, Key(path, "channel"), -2, 99));
    if (const json* c = Find(v, "tiling")) t.tiling = Tiling(*c, Key(path, "tiling"));
    if (const json* c = Find(v, "uvTransform")) t.uvTransform = Mat(*c, Key(path, "uvTransform"));
    if (const json* c = Find(v, "color")) {
      if (Find(v, "color1")) Fail(Key(path, "color"), "give either 'color' or 'color1'");
      t.color1 = ACol(*c, Key(path, "color"));
    }
    if (const json* c = Find(v, "color1")) t.color1 = ACol(*c, Key(path, "color1"));
    if (const json* c = Find(v, "color2")) t.color2 = ACol(*c, Key(path, "color2"));
    if (const json* c = Find(v, "color3")) t.color3 = ACol(*c, Key(path, "color3"));
    if (const json* c = Find(v, "position")) {
      t.position = Float(*c, Key(path, "position"));
      if (t.position <= 0 || t.position >= 1) Fail(Key(path, "position"), "the middle colour lies strictly between 0 and 1");
    }
    if (const json* c = Find(v, "gradientType")) {
      std::string g = Str(*c, Key(path, "gradientType"));
      if (g != "linear" && g != "radial") Fail(Key(path, "gradientType"), "gradientType is 'linear' or 'radial'");
      t.radial = g == "radial";
    }
    if (const json* c = Find(v, "size")) {
      t.size = Float(*c, Key(path, "size"));
      if (t.size <= 0) Fail(Key(path, "size"), "the noise size must be positive");
    }
    if (t.kind == Texmap::Kind::NormalMap) {
      t.subs.assign(2, nullptr);
      if (const json* m = Find(v, "map")) t.subs[0] = TexmapRef(*m, Key(path, "map"));
      if (const json* m = Find(v, "bump")) t.subs[1] = TexmapRef(*m, Key(path, "bump"));
    }
    if (const json* subs = Find(v, "subMaps")) {
      if (t.kind == Texmap::Kind::NormalMap) Fail(Key(path, "subMaps"), "a normalmap names its sub-maps 'map' and 'bump'");
      std::string sp = Key(path, "subMaps");
      CheckArray(*subs, sp);
      for (size_t i = 0; i < subs->size(); ++i) t.subs.push_back(TexmapRef((*subs)[i], Key(sp, i)));
    }
    const json* crop = Find(v, "crop");
    if (const json* b = Find(v, "paramBlocks")) {
      if (crop) Fail(Key(path, "crop"), "give the crop in 'paramBlocks' or in 'crop', not both");
      Blocks(*b, Key(path, "paramBlocks"), t.blocks);
    } else if (t.kind == Texmap::Kind::Bitmap) {
      // The bitmap's own block, in the host's order: crop u, v, width, height, jitter,
      // use jitter, apply, crop/place.
      float u = 0, vv = 0, w = 1, h = 1;
      int apply = 0, mode = 0;
      if (crop) {
        std::string cp = Key(path, "crop");
        CheckKeys(*crop, cp, {"u", "v", "width", "height", "apply", "mode"});
        if (const json* c = Find(*crop, "u")) u = Float(*c, Key(cp, "u"));
        if (const json* c = Find(*crop, "v")) vv = Float(*c, Key(cp, "v"));
        if (const json* c = Find(*crop, "width")) w = Float(*c, Key(cp, "width"));
        if (const json* c = Find(*crop, "height")) h = Float(*c, Key(cp, "height"));
        apply = 1;
        if (const json* c = Find(*crop, "apply")) apply = Bool(*c, Key(cp, "apply"));
        if (const json* c = Find(*crop, "mode")) {
          std::string s = Str(*c, Key(cp, "mode"));
          if (s != "crop" && s != "place") Fail(Key(cp, "mode"), "mode is 'crop' or 'place'");
          mode = s == "place";
        }
      }
      auto block = std::make_unique<ParamBlock>();
      auto add = [&](const char* name, int code, float f, int i) {
        ParamEntry e;
        e.name = name;
        e.value.type = code;
        e.value.f[0] = f;
        e.value.i = i;
        block->params.push_back(std::move(e));
      };
      add("clipu", 0, u, 0);
      add("clipv", 0, vv, 0);
      add("clipw", 0, w, 0);
      add("cliph", 0, h, 0);
      add("jitter", 0, 1.0f, 0);
      add("usejitter", 4, 0, 0);
      add("apply", 4, float(apply), apply);
      add("cropPlace", 1, float(mode), mode);
      ParamEntry fe;
      fe.name = "fileName";
      fe.value.type = 9;
      fe.value.s = t.file;
      block->params.push_back(std::move(fe));
      t.blocks.push_back(block.get());
      d.blocks.push_back(std::move(block));
    }
    const Texmap* out = tex.get();
    d.texmaps.push_back(std::move(tex));
    return out;
  }

  // ---- Whole document ------------------------------------------------------------------

  void Document(const json& doc) {
    CheckKeys(doc, "", {"format", "version", "scene", "root", "nodes", "objects", "materials", "texmaps"});
    if (const json* f = Find(doc, "format"); f && Str(*f, "/format") != "vorn-scene")
      Fail("/format", "this is not a vorn scene document (format '" + f->get<std::string>() + "')");
    if (const json* v = Find(doc, "version")) Int(*v, "/version", 1, 1);
    if (const json* s = Find(doc, "scene")) Scene(*s, "/scene");
    objectsTable = Find(doc, "objects");
    materialsTable = Find(doc, "materials");
    texmapsTable = Find(doc, "texmaps");
    if (objectsTable) CheckObject(*objectsTable, "/objects");
    if (materialsTable) CheckObject(*materialsTable, "/materials");
    if (texmapsTable) CheckObject(*texmapsTable, "/texmaps");
    d.root.name = "Scene Root";
    if (const json* r = Find(doc, "root")) {
      CheckKeys(*r, "/root", {"name", "transform"});
      if (const json* n = Find(*r, "name")) d.root.name = Str(*n, "/root/name");
      if (const json* t = Find(*r, "transform")) d.root.transform = Mat(*t, "/root/transform");
      d.root.world = true;
    }
    d.root.world = true;
    if (const json* n = Find(doc, "nodes")) Nodes(*n, "/nodes");
    for (PendingNode& p : pending) NodeBody(p);
    // Entries nobody refers to are still checked, and can be looked up by id.
    if (texmapsTable)
      for (auto it = texmapsTable->begin(); it != texmapsTable->end(); ++it) TexmapRef(json(it.key()), "/texmaps");
    if (materialsTable)
      for (auto it = materialsTable->begin(); it != materialsTable->end(); ++it) MaterialRef(json(it.key()), "/materials");
    if (objectsTable)
      for (auto it = objectsTable->begin(); it != objectsTable->end(); ++it) ObjectRef(json(it.key()), "/objects");
  }
};

std::unique_ptr<SceneDocument> Load(const std::string& text, const std::string& baseDir, const std::string& docPath) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    // Syntax errors and numbers out of range alike; the library's message carries the
    // position, drop its internal prefix.
    std::string msg = e.what();
    size_t at = msg.find("] ");
    if (at != std::string::npos) msg = msg.substr(at + 2);
    throw SceneError("", "malformed JSON: " + msg);
  }
  auto data = std::make_unique<Data>();
  data->documentPath = docPath;
  Loader loader{*data, baseDir.empty() ? std::string(".") : baseDir};
  loader.Document(doc);
  return std::make_unique<SceneDocument>(std::move(data));
}

}  // namespace

std::unique_ptr<SceneDocument> LoadSceneDocumentFromString(const std::string& text, const std::string& baseDir) {
  return Load(text, baseDir, "");
}

std::unique_ptr<SceneDocument> LoadSceneDocument(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw SceneError("", "is a folder, not a scene document", path);
  // A device such as /dev/zero would be read until memory runs out; pipes are fine.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
    throw SceneError("", "is not a file", path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SceneError("", "cannot open the scene document", path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw SceneError("", "cannot read the scene document", path);
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  try {
    return Load(text, dir, path);
  } catch (const SceneError& e) {
    throw SceneError(e.where(), e.message(), path);
  }
}

}  // namespace vorn

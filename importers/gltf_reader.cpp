// Reads glTF 2.0 into import::Scene. Every index and byte range the file gives is checked before
// it is used; anything out of place throws with the file's name, never reads out of bounds.
#include "importers/gltf_reader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "importers/assimp_arithmetic.h"
#include "importers/vertex_join.h"
#include "importers/uri_path.h"
#include "platform/mapped_file.h"

namespace vorn {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr size_t kNone = std::numeric_limits<size_t>::max();
constexpr int kMaxDepth = 1000;  // node nesting; deeper files are refused, not recursed into

// Component types.
constexpr int kByte = 5120, kUByte = 5121, kShort = 5122, kUShort = 5123, kUInt = 5125, kFloat = 5126;

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

uint32_t Le32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Component count of an accessor type; 0 for types this reader has no use for.
int Components(const std::string& type) {
  if (type == "SCALAR") return 1;
  if (type == "VEC2") return 2;
  if (type == "VEC3") return 3;
  if (type == "VEC4") return 4;
  if (type == "MAT4") return 16;
  return 0;
}

int ComponentSize(int type) {
  switch (type) {
    case kByte:
    case kUByte:
      return 1;
    case kShort:
    case kUShort:
      return 2;
    case kUInt:
    case kFloat:
      return 4;
    default:
      return 0;
  }
}

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

float ComponentValue(const uint8_t* p, int type, bool normalized) {
  switch (type) {
    case kByte: {
      const float v = Load<int8_t>(p);
      return normalized ? std::max(v / 127.0f, -1.0f) : v;
    }
    case kUByte: {
      const float v = Load<uint8_t>(p);
      return normalized ? v / 255.0f : v;
    }
    case kShort: {
      const float v = Load<int16_t>(p);
      return normalized ? std::max(v / 32767.0f, -1.0f) : v;
    }
    case kUShort: {
      const float v = Load<uint16_t>(p);
      return normalized ? v / 65535.0f : v;
    }
    case kUInt:
      return float(Load<uint32_t>(p));
    default:
      return Load<float>(p);
  }
}

uint32_t IntegerValue(const uint8_t* p, int type) {
  switch (type) {
    case kUByte:
      return Load<uint8_t>(p);
    case kUShort:
      return Load<uint16_t>(p);
    default:
      return Load<uint32_t>(p);
  }
}

// A checked view of one accessor's elements.
struct Accessor {
  size_t index = 0;
  const uint8_t* data = nullptr;  // null: every element is zero (before sparse values)
  size_t stride = 0, count = 0;
  int type = 0, components = 0;
  bool normalized = false;
  // Sparse substitution, checked: `sparseCount` element indices and their tightly packed values.
  size_t sparseCount = 0;
  const uint8_t* sparseIndices = nullptr;
  int sparseIndexType = 0;
  const uint8_t* sparseValues = nullptr;
};

class GltfReader {
 public:
  GltfReader(std::string_view bytes, const std::string& path) : bytes_(bytes), path_(path) {
    dir_ = fs::path(path).parent_path();
  }

  import::Scene Run() {
    Parse();
    CheckExtensions();
    LoadBuffers();
    LoadMaterials();
    BuildNodes();
    LoadAnimations();
    if (skippedPrimitives_ > 0)
      scene_.notes.push_back(std::to_string(skippedPrimitives_) +
                             " primitive(s) of points or lines left out: .X meshes hold triangles only");
    if (unplacedTriangles_ > 0)
      scene_.notes.push_back(std::to_string(unplacedTriangles_) +
                             " triangle(s) left out: a corner's position is not a finite number");
    return std::move(scene_);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw std::runtime_error(path_ + ": " + what); }
  [[noreturn]] void NotRead(const std::string& what) const { throw GltfNotRead(path_ + ": " + what); }

  // ---- JSON access, type-checked ---------------------------------------------------------

  const json& Array(const json& o, const char* key, const std::string& where) const {
    static const json empty = json::array();
    auto it = o.find(key);
    if (it == o.end()) return empty;
    if (!it->is_array()) Fail(where + ": \"" + key + "\" is not an array");
    return *it;
  }
  const json* Object(const json& o, const char* key, const std::string& where) const {
    auto it = o.find(key);
    if (it == o.end()) return nullptr;
    if (!it->is_object()) Fail(where + ": \"" + key + "\" is not an object");
    return &*it;
  }
  const json& Element(const json& arr, size_t i, const std::string& where) const {
    if (!arr[i].is_object()) Fail(where + " is not an object");
    return arr[i];
  }
  size_t Uint(const json& o, const char* key, size_t fallback, const std::string& where) const {
    auto it = o.find(key);
    if (it == o.end()) return fallback;
    if (!it->is_number_unsigned()) Fail(where + ": \"" + key + "\" is not a non-negative integer");
    const uint64_t v = it->get<uint64_t>();
    if (v > (uint64_t(1) << 40)) Fail(where + ": \"" + key + "\" is too large");
    return size_t(v);
  }
  double Number(const json& o, const char* key, double fallback, const std::string& where) const {
    auto it = o.find(key);
    if (it == o.end()) return fallback;
    if (!it->is_number()) Fail(where + ": \"" + key + "\" is not a number");
    return it->get<double>();
  }
  std::string String(const json& o, const char* key, const std::string& where) const {
    auto it = o.find(key);
    if (it == o.end()) return {};
    if (!it->is_string()) Fail(where + ": \"" + key + "\" is not a string");
    return it->get<std::string>();
  }
  // `n` numbers into out; false when the key is absent.
  bool Numbers(const json& o, const char* key, size_t n, float* out, const std::string& where) const {
    auto it = o.find(key);
    if (it == o.end()) return false;
    if (!it->is_array() || it->size() != n) Fail(where + ": \"" + key + "\" is not an array of " + std::to_string(n) + " numbers");
    for (size_t i = 0; i < n; ++i) {
      if (!(*it)[i].is_number()) Fail(where + ": \"" + key + "\" holds something other than numbers");
      out[i] = (*it)[i].get<float>();
    }
    return true;
  }
  // An index into the top-level array `arrayName`; kNone when absent.
  size_t Ref(const json& o, const char* key, const char* arrayName, const std::string& where) const {
    const size_t i = Uint(o, key, kNone, where);
    if (i != kNone && i >= Top(arrayName).size())
      Fail(where + ": \"" + key + "\" " + std::to_string(i) + " is out of range (" + std::to_string(Top(arrayName).size()) +
           " " + arrayName + ")");
    return i;
  }
  const json& Top(const char* name) const { return Array(doc_, name, "the document"); }
  static std::string At(const char* arrayName, size_t i) { return std::string(arrayName) + "[" + std::to_string(i) + "]"; }

  // ---- Container -------------------------------------------------------------------------

  void Parse() {
    std::string_view text = bytes_;
    if (bytes_.size() >= 4 && bytes_.substr(0, 4) == "glTF") {
      if (bytes_.size() < 20) Fail("the binary glTF header is cut short");
      const uint32_t version = Le32(bytes_.data() + 4), length = Le32(bytes_.data() + 8);
      if (version != 2) NotRead("binary glTF version " + std::to_string(version) + " is not 2");
      if (length > bytes_.size() || length < 20) Fail("the binary glTF file is cut short");
      size_t at = 12;
      bool first = true;
      while (at + 8 <= length) {
        const uint32_t chunkLength = Le32(bytes_.data() + at), chunkType = Le32(bytes_.data() + at + 4);
        at += 8;
        if (chunkLength > length - at) Fail("a binary glTF chunk runs past the end of the file");
        const std::string_view chunk = bytes_.substr(at, chunkLength);
        if (first) {
          if (chunkType != 0x4E4F534A) Fail("the binary glTF file does not start with its JSON chunk");
          text = chunk;
        } else if (chunkType == 0x004E4942 && !hasBin_) {
          bin_ = chunk;
          hasBin_ = true;
        }
        first = false;
        at += (size_t(chunkLength) + 3) & ~size_t(3);
      }
      if (first) Fail("the binary glTF file has no JSON chunk");
    }
    if (bytes_.empty()) Fail("the file is empty");
    doc_ = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc_.is_discarded()) Fail(text.data() == bytes_.data() ? "not valid JSON" : "its JSON chunk is not valid JSON");
    if (!doc_.is_object()) Fail("the document is not a JSON object");
    const json* asset = Object(doc_, "asset", "the document");
    if (!asset) Fail("no \"asset\" object: not a glTF file");
    // glTF 1.0 files wrote the version as a string or, early on, as a number.
    const auto v = asset->find("version");
    if (v != asset->end() && v->is_number()) NotRead("glTF version " + v->dump() + " is not 2.x");
    const std::string version = String(*asset, "version", "asset");
    if (version.empty() || version[0] != '2') NotRead("glTF version \"" + version + "\" is not 2.x");
  }

  void CheckExtensions() {
    const json& required = Array(doc_, "extensionsRequired", "the document");
    for (const json& e : required) {
      if (!e.is_string()) Fail("\"extensionsRequired\" holds something other than names");
      const std::string name = e.get<std::string>();
      if (name == "KHR_materials_pbrSpecularGlossiness" || name == "KHR_texture_transform" ||
          name == "KHR_mesh_quantization" || name == "KHR_materials_unlit")
        continue;
      NotRead("the file requires the extension " + name + ", which this reader does not read");
    }
  }

  // ---- Buffers ---------------------------------------------------------------------------

  std::string_view DataUri(const std::string& uri, std::string& storage, const std::string& where) const {
    const size_t comma = uri.find(',');
    if (comma == std::string::npos) Fail(where + ": a data: URI without data");
    const std::string_view header(uri.data(), comma);
    const std::string_view payload(uri.data() + comma + 1, uri.size() - comma - 1);
    if (header.size() < 7 || header.substr(header.size() - 7) != ";base64") {
      storage = PercentDecode(std::string(payload));
      return storage;
    }
    static const auto kValues = [] {
      std::array<int8_t, 256> t{};
      t.fill(-1);
      const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = int8_t(i);
      t['-'] = 62;
      t['_'] = 63;
      return t;
    }();
    storage.clear();
    storage.reserve(payload.size() / 4 * 3 + 3);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : payload) {
      if (c == '=' || c == '\n' || c == '\r' || c == ' ') continue;
      const int v = kValues[static_cast<unsigned char>(c)];
      if (v < 0) Fail(where + ": a data: URI that is not base64");
      acc = (acc << 6) | uint32_t(v);
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        storage.push_back(char((acc >> bits) & 0xff));
      }
    }
    return storage;
  }

  void LoadBuffers() {
    const json& buffers = Top("buffers");
    owned_.resize(buffers.size());
    for (size_t i = 0; i < buffers.size(); ++i) {
      const std::string where = At("buffers", i);
      const json& b = Element(buffers, i, where);
      const size_t length = Uint(b, "byteLength", kNone, where);
      if (length == kNone) Fail(where + ": no \"byteLength\"");
      std::string_view data;
      const std::string uri = String(b, "uri", where);
      if (uri.empty()) {
        if (i != 0 || !hasBin_) Fail(where + ": no \"uri\" and no binary chunk to stand for it");
        data = bin_;
      } else if (uri.rfind("data:", 0) == 0) {
        data = DataUri(uri, owned_[i], where);
      } else {
        const std::string file = (dir_ / PercentDecode(uri)).string();
        auto& mapped = files_.emplace_back(std::make_unique<platform::MappedFile>());
        if (!mapped->Open(file)) Fail(where + ": cannot read the buffer file " + file);
        data = mapped->Bytes();
      }
      if (data.size() < length)
        Fail(where + ": holds " + std::to_string(data.size()) + " bytes, less than its byteLength " + std::to_string(length));
      buffers_.push_back(data.substr(0, length));
    }
  }

  // A buffer view's bytes and stride (0: none given).
  std::string_view View(size_t index, size_t* stride, const std::string& where) const {
    const json& views = Top("bufferViews");
    if (index >= views.size()) Fail(where + ": buffer view " + std::to_string(index) + " is out of range");
    const std::string vw = At("bufferViews", index);
    const json& v = Element(views, index, vw);
    const size_t buffer = Ref(v, "buffer", "buffers", vw);
    if (buffer == kNone) Fail(vw + ": no \"buffer\"");
    const size_t offset = Uint(v, "byteOffset", 0, vw), length = Uint(v, "byteLength", kNone, vw);
    if (length == kNone) Fail(vw + ": no \"byteLength\"");
    const std::string_view data = buffers_[buffer];
    if (offset > data.size() || length > data.size() - offset) Fail(vw + ": runs past the end of its buffer");
    if (stride) {
      *stride = Uint(v, "byteStride", 0, vw);
      if (*stride != 0 && (*stride < 4 || *stride > 252)) Fail(vw + ": byteStride " + std::to_string(*stride) + " is out of range");
    }
    return data.substr(offset, length);
  }

  // Checks that `count` elements of `size` bytes, `stride` apart from `offset`, fit in `bytes`.
  void CheckRange(std::string_view bytes, size_t offset, size_t stride, size_t count, size_t size, const std::string& where) const {
    if (count == 0) return;
    if (offset > bytes.size() || (count - 1) > (bytes.size() - offset) / std::max<size_t>(stride, 1) ||
        (count - 1) * stride + size > bytes.size() - offset)
      Fail(where + ": reads past the end of its buffer view");
  }

  Accessor GetAccessor(size_t index, const std::string& where) const {
    const json& accessors = Top("accessors");
    if (index >= accessors.size()) Fail(where + ": accessor " + std::to_string(index) + " is out of range");
    const std::string aw = At("accessors", index);
    const json& a = Element(accessors, index, aw);
    Accessor acc;
    acc.index = index;
    acc.type = int(Uint(a, "componentType", 0, aw));
    acc.components = Components(String(a, "type", aw));
    const int size = ComponentSize(acc.type);
    if (size == 0) Fail(aw + ": unknown componentType " + std::to_string(acc.type));
    if (acc.components == 0) Fail(aw + ": unsupported type \"" + String(a, "type", aw) + "\"");
    auto normalized = a.find("normalized");
    acc.normalized = normalized != a.end() && normalized->is_boolean() && normalized->get<bool>();
    acc.count = Uint(a, "count", kNone, aw);
    if (acc.count == kNone) Fail(aw + ": no \"count\"");
    const size_t elementSize = size_t(size) * size_t(acc.components);
    const size_t view = Uint(a, "bufferView", kNone, aw);
    if (view != kNone) {
      size_t stride = 0;
      const std::string_view bytes = View(view, &stride, aw);
      acc.stride = stride ? stride : elementSize;
      const size_t offset = Uint(a, "byteOffset", 0, aw);
      CheckRange(bytes, offset, acc.stride, acc.count, elementSize, aw);
      acc.data = reinterpret_cast<const uint8_t*>(bytes.data()) + std::min(offset, bytes.size());
    } else if (acc.count > (size_t(1) << 28) / elementSize) {
      // Without a buffer view nothing bounds the count but this: 256 MB of zeros at most.
      Fail(aw + ": count " + std::to_string(acc.count) + " without data is implausible");
    }
    if (const json* sparse = Object(a, "sparse", aw)) {
      const std::string sw = aw + ".sparse";
      acc.sparseCount = Uint(*sparse, "count", 0, sw);
      const json* indices = Object(*sparse, "indices", sw);
      const json* values = Object(*sparse, "values", sw);
      if (!indices || !values) Fail(sw + ": needs \"indices\" and \"values\"");
      acc.sparseIndexType = int(Uint(*indices, "componentType", 0, sw));
      if (acc.sparseIndexType != kUByte && acc.sparseIndexType != kUShort && acc.sparseIndexType != kUInt)
        Fail(sw + ": indices are not of an unsigned integer type");
      const std::string_view ib = View(Uint(*indices, "bufferView", kNone, sw), nullptr, sw);
      const size_t io = Uint(*indices, "byteOffset", 0, sw);
      const size_t isz = size_t(ComponentSize(acc.sparseIndexType));
      CheckRange(ib, io, isz, acc.sparseCount, isz, sw);
      const std::string_view vb = View(Uint(*values, "bufferView", kNone, sw), nullptr, sw);
      const size_t vo = Uint(*values, "byteOffset", 0, sw);
      CheckRange(vb, vo, elementSize, acc.sparseCount, elementSize, sw);
      acc.sparseIndices = reinterpret_cast<const uint8_t*>(ib.data()) + std::min(io, ib.size());
      acc.sparseValues = reinterpret_cast<const uint8_t*>(vb.data()) + std::min(vo, vb.size());
      for (size_t k = 0; k < acc.sparseCount; ++k)
        if (IntegerValue(acc.sparseIndices + k * isz, acc.sparseIndexType) >= acc.count)
          Fail(sw + ": an index is out of range");
    }
    return acc;
  }

  // `n` floats per element into out (count x n); components past the accessor's are zero.
  void ReadFloats(const Accessor& a, int n, float* out) const {
    const int size = ComponentSize(a.type);
    const int m = std::min(n, a.components);
    if (!a.data) {
      std::fill(out, out + a.count * size_t(n), 0.0f);
    } else if (a.type == kFloat) {
      for (size_t i = 0; i < a.count; ++i) {
        std::memcpy(out + i * size_t(n), a.data + i * a.stride, size_t(m) * 4);
        std::fill(out + i * size_t(n) + m, out + (i + 1) * size_t(n), 0.0f);
      }
    } else {
      for (size_t i = 0; i < a.count; ++i) {
        const uint8_t* p = a.data + i * a.stride;
        for (int c = 0; c < n; ++c) out[i * size_t(n) + c] = c < m ? ComponentValue(p + c * size, a.type, a.normalized) : 0.0f;
      }
    }
    const size_t isz = size_t(ComponentSize(a.sparseIndexType));
    for (size_t k = 0; k < a.sparseCount; ++k) {
      const size_t e = IntegerValue(a.sparseIndices + k * isz, a.sparseIndexType);
      const uint8_t* p = a.sparseValues + k * size_t(size) * size_t(a.components);
      for (int c = 0; c < m; ++c) out[e * size_t(n) + c] = ComponentValue(p + c * size, a.type, a.normalized);
    }
  }

  // Whole records of `n` floats each (Vec3, Rgba, ...), resized to the accessor's count.
  template <class T>
  void ReadRecords(const Accessor& a, int n, std::vector<T>& out) const {
    static_assert(std::is_trivially_copyable_v<T>);
    if (sizeof(T) != size_t(n) * sizeof(float)) throw std::logic_error("record size");
    out.resize(a.count);
    ReadFloats(a, n, reinterpret_cast<float*>(out.data()));
  }

  void ReadIntegers(const Accessor& a, uint32_t* out) const {
    const int size = ComponentSize(a.type);
    const size_t n = size_t(a.components);
    if (!a.data) {
      std::fill(out, out + a.count * n, 0u);
    } else {
      for (size_t i = 0; i < a.count; ++i)
        for (size_t c = 0; c < n; ++c) out[i * n + c] = IntegerValue(a.data + i * a.stride + c * size_t(size), a.type);
    }
    const size_t isz = size_t(ComponentSize(a.sparseIndexType));
    for (size_t k = 0; k < a.sparseCount; ++k) {
      const size_t e = IntegerValue(a.sparseIndices + k * isz, a.sparseIndexType);
      const uint8_t* p = a.sparseValues + k * size_t(size) * n;
      for (size_t c = 0; c < n; ++c) out[e * n + c] = IntegerValue(p + c * size_t(size), a.type);
    }
  }

  // ---- Materials -------------------------------------------------------------------------

  static import::Wrap WrapMode(size_t mode) {
    switch (mode) {
      case 33071:
        return import::Wrap::Clamp;
      case 33648:
        return import::Wrap::Mirror;
      default:
        return import::Wrap::Repeat;
    }
  }

  // An image as a map: a file beside the glTF, or an embedded texture (data: URI or buffer view).
  import::MaterialMap Map(const json* info, const std::string& where) {
    import::MaterialMap map;
    if (!info) return map;
    const size_t texture = Ref(*info, "index", "textures", where);
    if (texture == kNone) Fail(where + ": a texture reference without \"index\"");
    map.uvSet = unsigned(std::min<size_t>(Uint(*info, "texCoord", 0, where), 7));
    const std::string tw = At("textures", texture);
    const json& t = Element(Top("textures"), texture, tw);
    const size_t sampler = Ref(t, "sampler", "samplers", tw);
    if (sampler != kNone) {
      const std::string sw = At("samplers", sampler);
      const json& s = Element(Top("samplers"), sampler, sw);
      map.wrap[0] = WrapMode(Uint(s, "wrapS", 10497, sw));
      map.wrap[1] = WrapMode(Uint(s, "wrapT", 10497, sw));
    }
    const size_t image = Ref(t, "source", "images", tw);
    if (image == kNone) return map;  // only an extension's image (KTX2, WebP): no map
    const std::string iw = At("images", image);
    const json& img = Element(Top("images"), image, iw);
    const std::string uri = String(img, "uri", iw);
    if (!uri.empty() && uri.rfind("data:", 0) != 0) {
      map.file = PercentDecode(uri);
      return map;
    }
    map.embedded = int(Embedded(image, img, uri, iw));
    return map;
  }

  size_t Embedded(size_t image, const json& img, const std::string& uri, const std::string& where) {
    auto found = embedded_.find(image);
    if (found != embedded_.end()) return found->second;
    import::Texture tex;
    tex.fileName = String(img, "name", where);  // the name the image is written out under
    std::string mime = String(img, "mimeType", where);
    if (!uri.empty()) {
      std::string storage;
      const std::string_view data = DataUri(uri, storage, where);
      tex.data.assign(data.begin(), data.end());
      if (mime.empty()) mime = uri.substr(5, uri.find_first_of(";,") - 5);
    } else {
      const size_t view = Uint(img, "bufferView", kNone, where);
      if (view == kNone) Fail(where + ": neither \"uri\" nor \"bufferView\"");
      const std::string_view data = View(view, nullptr, where);
      tex.data.assign(data.begin(), data.end());
    }
    mime = Lower(mime);
    tex.formatHint = mime == "image/jpeg" || mime == "image/jpg" ? "jpg" : mime.rfind("image/", 0) == 0 ? mime.substr(6) : "bin";
    tex.width = unsigned(tex.data.size());
    const size_t index = scene_.textures.size();
    scene_.textures.push_back(std::move(tex));
    embedded_[image] = index;
    return index;
  }

  void LoadMaterials() {
    // Images carried in the file become embedded textures in image order, as assimp numbers them.
    const json& images = Top("images");
    for (size_t i = 0; i < images.size(); ++i) {
      const std::string where = At("images", i);
      const json& img = Element(images, i, where);
      const std::string uri = String(img, "uri", where);
      if (uri.empty() || uri.rfind("data:", 0) == 0) Embedded(i, img, uri, where);
    }
    const json& materials = Top("materials");
    for (size_t i = 0; i < materials.size(); ++i) {
      const std::string where = At("materials", i);
      const json& m = Element(materials, i, where);
      import::Material mat = DefaultMaterial();
      mat.name = String(m, "name", where);
      float color[4] = {1, 1, 1, 1};
      const json* ext = Object(m, "extensions", where);
      const json* specGloss = ext ? Object(*ext, "KHR_materials_pbrSpecularGlossiness", where) : nullptr;
      if (specGloss) {
        const std::string sw = where + ".pbrSpecularGlossiness";
        Numbers(*specGloss, "diffuseFactor", 4, color, sw);
        float specular[3] = {1, 1, 1};
        Numbers(*specGloss, "specularFactor", 3, specular, sw);
        mat.hasSpecular = true;
        mat.specular = {specular[0], specular[1], specular[2], 1};
        mat.shininess = float(Number(*specGloss, "glossinessFactor", 1, sw)) * 1000.0f;
        mat.diffuseMap = Map(Object(*specGloss, "diffuseTexture", sw), sw);
      } else if (const json* pbr = Object(m, "pbrMetallicRoughness", where)) {
        const std::string pw = where + ".pbrMetallicRoughness";
        Numbers(*pbr, "baseColorFactor", 4, color, pw);
        const float roughness = float(Number(*pbr, "roughnessFactor", 1, pw));
        mat.shininess = (1 - roughness) * (1 - roughness) * 1000.0f;
        mat.diffuseMap = Map(Object(*pbr, "baseColorTexture", pw), pw);
      }
      mat.baseColorMap = mat.diffuseMap;
      mat.diffuse = {color[0], color[1], color[2], color[3]};
      // Opaque materials ignore the colour's alpha.
      const std::string alphaMode = String(m, "alphaMode", where);
      mat.opacity = alphaMode == "BLEND" || alphaMode == "MASK" ? color[3] : 1.0f;
      float emissive[3] = {0, 0, 0};
      Numbers(m, "emissiveFactor", 3, emissive, where);
      mat.emissive = {emissive[0], emissive[1], emissive[2], 1};
      mat.normalMap = Map(Object(m, "normalTexture", where), where);
      scene_.materials.push_back(std::move(mat));
    }
  }

  static import::Material DefaultMaterial() {
    import::Material mat;
    mat.hasDiffuse = mat.hasEmissive = mat.hasShininess = mat.hasOpacity = true;
    mat.diffuse = {1, 1, 1, 1};
    mat.emissive = {0, 0, 0, 1};
    return mat;
  }

  // Primitives without a material share one default material after the file's own.
  unsigned DefaultMaterialIndex() {
    if (defaultMaterial_ == kNone) {
      defaultMaterial_ = scene_.materials.size();
      scene_.materials.push_back(DefaultMaterial());
    }
    return unsigned(defaultMaterial_);
  }

  // ---- Meshes ----------------------------------------------------------------------------

  // The triangles of one primitive; false for points and lines, which are not read.
  bool Triangles(const json& prim, size_t vertexCount, std::vector<std::array<uint32_t, 3>>& out, const std::string& where) {
    const size_t mode = Uint(prim, "mode", 4, where);
    if (mode < 4) return false;
    if (mode > 6) Fail(where + ": unknown primitive mode " + std::to_string(mode));
    const size_t indicesRef = Uint(prim, "indices", kNone, where);
    size_t n = vertexCount;
    if (indicesRef != kNone) {
      const Accessor a = GetAccessor(indicesRef, where);
      if (a.components != 1 || (a.type != kUByte && a.type != kUShort && a.type != kUInt))
        Fail(At("accessors", indicesRef) + ": indices are not unsigned integer scalars");
      indices_.resize(a.count);
      ReadIntegers(a, indices_.data());
      for (uint32_t i : indices_)
        if (i >= vertexCount)
          Fail(where + ": vertex index " + std::to_string(i) + " is out of range (" + std::to_string(vertexCount) +
               " vertices; --importer assimp drops such faces)");
      n = a.count;
    } else {
      indices_.resize(n);
      for (size_t i = 0; i < n; ++i) indices_[i] = uint32_t(i);
    }
    const uint32_t* x = indices_.data();
    out.clear();
    if (mode == 4) {
      out.reserve(n / 3);
      for (size_t i = 0; i + 2 < n; i += 3) out.push_back({x[i], x[i + 1], x[i + 2]});
    } else if (mode == 5) {
      out.reserve(n > 2 ? n - 2 : 0);
      for (size_t i = 0; i + 2 < n; ++i)
        out.push_back(i % 2 ? std::array<uint32_t, 3>{x[i + 1], x[i], x[i + 2]} : std::array<uint32_t, 3>{x[i], x[i + 1], x[i + 2]});
    } else {
      out.reserve(n > 2 ? n - 2 : 0);
      for (size_t i = 1; i + 1 < n; ++i) out.push_back({x[0], x[i], x[i + 1]});
    }
    return true;
  }


  const Accessor Attribute(const json& attributes, const char* name, size_t count, const std::string& where) const {
    const size_t ref = Uint(attributes, name, kNone, where);
    const Accessor a = GetAccessor(ref, where + "." + name);
    if (a.count != count)
      Fail(where + ": " + name + " has " + std::to_string(a.count) + " entries for " + std::to_string(count) + " positions");
    return a;
  }

  // One import mesh per triangle primitive of mesh `index`, bones from `skin` (kNone: none).
  const std::vector<unsigned>& MeshesOf(size_t index, size_t skin) {
    auto found = meshes_.find({index, skin});
    if (found != meshes_.end()) return found->second;
    std::vector<unsigned>& list = meshes_[{index, skin}];
    const std::string where = At("meshes", index);
    const json& mesh = Element(Top("meshes"), index, where);
    const json& prims = Array(mesh, "primitives", where);
    for (size_t p = 0; p < prims.size(); ++p) {
      const std::string pw = where + ".primitives[" + std::to_string(p) + "]";
      const json& prim = Element(prims, p, pw);
      const json* attributes = Object(prim, "attributes", pw);
      if (!attributes || !attributes->contains("POSITION")) Fail(pw + ": no POSITION attribute");
      import::Mesh m;
      const Accessor pos = GetAccessor(Uint(*attributes, "POSITION", kNone, pw), pw + ".POSITION");
      if (pos.components != 3) Fail(pw + ": POSITION is not VEC3");
      if (!Triangles(prim, pos.count, m.triangles, pw)) {
        ++skippedPrimitives_;
        continue;
      }
      if (m.triangles.empty()) continue;
      ReadRecords(pos, 3, m.positions);
      DropUnplaced(m);
      if (m.triangles.empty()) continue;
      if (attributes->contains("NORMAL")) {
        ReadRecords(Attribute(*attributes, "NORMAL", pos.count, pw), 3, m.normals);
      } else {
        assimp_arithmetic::FaceNormals(m);
      }
      for (unsigned set = 0; set < 8; ++set) {
        const std::string name = "TEXCOORD_" + std::to_string(set);
        if (!attributes->contains(name)) break;
        const Accessor uv = Attribute(*attributes, name.c_str(), pos.count, pw);
        auto& out = m.uvs[set];
        out.resize(uv.count);
        ReadFloats(uv, 3, reinterpret_cast<float*>(out.data()));
        for (import::Vec3& t : out) t.y = 1 - t.y;  // glTF's V runs down the image
      }
      if (attributes->contains("COLOR_0")) {
        const Accessor c = Attribute(*attributes, "COLOR_0", pos.count, pw);
        ReadRecords(c, 4, m.colors);
        if (c.components == 3)
          for (import::Rgba& rgba : m.colors) rgba.a = 1;
      }
      const size_t material = Ref(prim, "material", "materials", pw);
      m.material = material == kNone ? DefaultMaterialIndex() : unsigned(material);
      const size_t sets = skin == kNone ? 0 : ReadInfluences(*attributes, pos.count, pw);
      const bool joined = Join(m, sets);
      if (skin != kNone) Bones(skin, sets, pos.count, joined, m, pw);
      list.push_back(unsigned(scene_.meshes.size()));
      scene_.meshes.push_back(std::move(m));
    }
    return list;
  }

  // Triangles with a corner at an infinite or NaN position have no place: left out (with a note),
  // as they would make every vertex of the .X mesh NaN after the transforms.
  void DropUnplaced(import::Mesh& m) {
    auto placed = [&](uint32_t v) {
      const import::Vec3& p = m.positions[v];
      return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    };
    const size_t before = m.triangles.size();
    std::erase_if(m.triangles, [&](const std::array<uint32_t, 3>& t) {
      return !placed(t[0]) || !placed(t[1]) || !placed(t[2]);
    });
    unplacedTriangles_ += before - m.triangles.size();
  }

  // JOINTS_n and WEIGHTS_n of every set n into the scratch arrays, set by set; the set count.
  size_t ReadInfluences(const json& attributes, size_t count, const std::string& where) {
    size_t sets = 0;
    while (attributes.contains("JOINTS_" + std::to_string(sets)) && attributes.contains("WEIGHTS_" + std::to_string(sets))) ++sets;
    jointScratch_.resize(count * 4 * sets);
    weightScratch_.resize(count * 4 * sets);
    for (size_t s = 0; s < sets; ++s) {
      const std::string jn = "JOINTS_" + std::to_string(s), wn = "WEIGHTS_" + std::to_string(s);
      const Accessor ja = Attribute(attributes, jn.c_str(), count, where);
      const Accessor wa = Attribute(attributes, wn.c_str(), count, where);
      if (ja.components != 4 || wa.components != 4) Fail(where + ": " + jn + " and " + wn + " are not VEC4");
      ReadIntegers(ja, jointScratch_.data() + s * count * 4);
      ReadFloats(wa, 4, weightScratch_.data() + s * count * 4);
    }
    return sets;
  }

  bool SameVertex(const import::Mesh& m, size_t sets, uint32_t a, uint32_t b) const {
    if (!SameJoinAttributes(m, a, b)) return false;
    const size_t count = m.positions.size();
    for (size_t s = 0; s < sets; ++s)
      for (size_t c = 0; c < 4; ++c) {
        const size_t i = (s * count + a) * 4 + c, k = (s * count + b) * 4 + c;
        if (jointScratch_[i] != jointScratch_[k] || weightScratch_[i] != weightScratch_[k]) return false;
      }
    return true;
  }

  template <class T>
  void Gather(std::vector<T>& v) const {
    if (v.empty()) return;
    const std::vector<uint32_t>& keep = join_.keep;
    std::vector<T> out(keep.size());
    for (size_t i = 0; i < keep.size(); ++i) out[i] = v[keep[i]];
    v.swap(out);
  }

  // Unused vertices dropped and identical ones (every attribute equal) shared, the rest kept in
  // order, as the importer's join gives them for assimp: unindexed primitives repeat their
  // vertices. False when nothing changes; otherwise join_.keep[new] is the file's vertex.
  bool Join(import::Mesh& m, size_t sets) {
    const size_t n = m.positions.size();
    used_.assign(n, 0);
    for (const auto& t : m.triangles)
      for (uint32_t v : t) used_[v] = 1;
    join_.Run(
        uint32_t(n), [&](uint32_t v) { return used_[v] != 0; }, [&](uint32_t v) { return PositionHash(m.positions[v]); },
        [&](uint32_t kept, uint32_t v) { return SameVertex(m, sets, kept, v); });
    if (join_.keep.size() == n) return false;  // all used, none shared: kept in order
    for (auto& t : m.triangles)
      for (uint32_t& v : t) v = join_.remap[v];
    Gather(m.positions);
    Gather(m.normals);
    for (auto& uv : m.uvs) Gather(uv);
    Gather(m.colors);
    return true;
  }

  // One bone per joint; weights of the (joined) vertices from the influence scratch arrays.
  void Bones(size_t skin, size_t sets, size_t count, bool joined, import::Mesh& m, const std::string& where) {
    const std::string sw = At("skins", skin);
    const json& s = Element(Top("skins"), skin, sw);
    const json& joints = Array(s, "joints", sw);
    std::vector<float> inverseBind;
    const size_t ibm = Uint(s, "inverseBindMatrices", kNone, sw);
    if (ibm != kNone) {
      const Accessor a = GetAccessor(ibm, sw);
      if (a.components != 16 || a.count < joints.size()) Fail(sw + ": too few inverse bind matrices");
      inverseBind.resize(a.count * 16);
      ReadFloats(a, 16, inverseBind.data());
    }
    m.bones.resize(joints.size());
    for (size_t j = 0; j < joints.size(); ++j) {
      if (!joints[j].is_number_unsigned() || joints[j].get<uint64_t>() >= Top("nodes").size())
        Fail(sw + ": joint " + std::to_string(j) + " is not a node");
      import::Bone& bone = m.bones[j];
      bone.name = NodeName(joints[j].get<size_t>());
      if (!inverseBind.empty())
        for (int r = 0; r < 4; ++r)
          for (int c = 0; c < 4; ++c) bone.offset.m[r][c] = inverseBind[j * 16 + size_t(c) * 4 + size_t(r)];
    }
    const size_t vertices = m.positions.size();
    std::vector<size_t> perBone(joints.size(), 0);
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t v = 0; v < vertices; ++v) {
        const size_t old = joined ? join_.keep[v] : v;
        for (size_t k = 0; k < sets; ++k)
          for (size_t c = 0; c < 4; ++c) {
            const size_t i = (k * count + old) * 4 + c;
            const float w = weightScratch_[i];
            if (!(w > 0)) continue;
            const uint32_t j = jointScratch_[i];
            if (j >= joints.size()) Fail(where + ": joint index " + std::to_string(j) + " is out of range");
            if (pass == 0)
              ++perBone[j];
            else
              m.bones[j].weights.push_back({uint32_t(v), w});
          }
      }
      if (pass == 0)
        for (size_t j = 0; j < joints.size(); ++j) m.bones[j].weights.reserve(perBone[j]);
    }
  }

  // ---- Nodes -----------------------------------------------------------------------------

  std::string NodeName(size_t index) const {
    const std::string where = At("nodes", index);
    std::string name = String(Element(Top("nodes"), index, where), "name", where);
    return name.empty() ? where : name;
  }

  struct Trs {
    bool given = false;  // false: the node has a matrix
    float t[3] = {0, 0, 0}, r[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
  };

  import::Matrix4 NodeMatrix(const json& n, Trs& trs, const std::string& where) const {
    import::Matrix4 out;
    float m[16];
    if (Numbers(n, "matrix", 16, m, where)) {
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.m[r][c] = m[c * 4 + r];
      return out;
    }
    trs.given = true;
    Numbers(n, "translation", 3, trs.t, where);
    Numbers(n, "rotation", 4, trs.r, where);
    Numbers(n, "scale", 3, trs.s, where);
    const float x = trs.r[0], y = trs.r[1], z = trs.r[2], w = trs.r[3];
    const float rot[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                             {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                             {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) out.m[r][c] = rot[r][c] * trs.s[c];
      out.m[r][3] = trs.t[r];
    }
    return out;
  }

  void MakeNode(size_t index, import::Node& out, int depth) {
    const std::string where = At("nodes", index);
    if (depth > kMaxDepth) Fail(where + ": nodes nest deeper than " + std::to_string(kMaxDepth) + " levels");
    if (state_[index] != 0) Fail(where + ": the node is reached twice (a cycle, or a child of two parents)");
    state_[index] = 1;
    const json& n = Element(Top("nodes"), index, where);
    out.name = NodeName(index);
    out.transform = NodeMatrix(n, trs_[index], where);
    const size_t mesh = Ref(n, "mesh", "meshes", where);
    const size_t skin = Ref(n, "skin", "skins", where);
    if (mesh != kNone) out.meshes = MeshesOf(mesh, skin);
    const json& children = Array(n, "children", where);
    out.children.resize(children.size());
    for (size_t c = 0; c < children.size(); ++c) {
      if (!children[c].is_number_unsigned() || children[c].get<uint64_t>() >= state_.size())
        Fail(where + ": child " + std::to_string(c) + " is not a node");
      MakeNode(children[c].get<size_t>(), out.children[c], depth + 1);
    }
  }

  void BuildNodes() {
    const json& nodes = Top("nodes");
    state_.assign(nodes.size(), 0);
    trs_.assign(nodes.size(), Trs{});
    const json& scenes = Top("scenes");
    if (scenes.empty()) Fail("the file has no scene");
    const size_t sceneIndex = Ref(doc_, "scene", "scenes", "the document");
    const std::string where = At("scenes", sceneIndex == kNone ? 0 : sceneIndex);
    const json& scene = Element(scenes, sceneIndex == kNone ? 0 : sceneIndex, where);
    const json& roots = Array(scene, "nodes", where);
    for (const json& r : roots)
      if (!r.is_number_unsigned() || r.get<uint64_t>() >= nodes.size()) Fail(where + ": a root that is not a node");
    // One root is the scene's root; several hang under one.
    if (roots.size() == 1) {
      MakeNode(roots[0].get<size_t>(), scene_.root, 0);
      if (!scene_.root.meshes.empty() || !scene_.root.children.empty()) return;
      // A lone node with nothing read in it (points or lines only, or no mesh) is still the file's node:
      // under a root of its own it stays a frame instead of being folded away.
      import::Node lone = std::move(scene_.root);
      scene_.root = import::Node{};
      scene_.root.children.push_back(std::move(lone));
      scene_.root.name = "ROOT";
      return;
    }
    scene_.root.name = "ROOT";
    scene_.root.children.resize(roots.size());
    for (size_t i = 0; i < roots.size(); ++i) MakeNode(roots[i].get<size_t>(), scene_.root.children[i], 1);
  }

  // ---- Animations ------------------------------------------------------------------------

  void LoadAnimations() {
    const json& animations = Top("animations");
    for (size_t i = 0; i < animations.size(); ++i) {
      const std::string where = At("animations", i);
      const json& a = Element(animations, i, where);
      import::Animation anim;
      anim.name = String(a, "name", where);
      anim.ticksPerSecond = 1000;  // milliseconds, as assimp gives glTF times
      const json& samplers = Array(a, "samplers", where);
      const json& channels = Array(a, "channels", where);
      std::map<size_t, size_t> byNode;
      std::vector<size_t> channelNode;
      for (size_t c = 0; c < channels.size(); ++c) {
        const std::string cw = where + ".channels[" + std::to_string(c) + "]";
        const json& ch = Element(channels, c, cw);
        const json* target = Object(ch, "target", cw);
        const size_t sampler = Uint(ch, "sampler", kNone, cw);
        if (!target || sampler >= samplers.size()) Fail(cw + ": no target or sampler out of range");
        const std::string sw = where + ".samplers[" + std::to_string(sampler) + "]";
        const json& s = Element(samplers, sampler, sw);
        const Accessor input = GetAccessor(Uint(s, "input", kNone, sw), sw);
        if (input.components != 1) Fail(sw + ": input is not scalar");
        times_.resize(input.count);
        ReadFloats(input, 1, times_.data());
        for (float t : times_) anim.duration = std::max(anim.duration, double(t * 1000.0f));
        const std::string path = String(*target, "path", cw);
        const size_t node = Ref(*target, "node", "nodes", cw);
        if (node == kNone || (path != "translation" && path != "rotation" && path != "scale")) continue;  // morph weights
        const std::string interpolation = String(s, "interpolation", sw);
        const bool cubic = interpolation == "CUBICSPLINE", step = interpolation == "STEP";
        const int width = path == "rotation" ? 4 : 3;
        const Accessor output = GetAccessor(Uint(s, "output", kNone, sw), sw);
        if (output.components != width) Fail(sw + ": output does not match the path " + path);
        if (output.count != input.count * (cubic ? 3 : 1)) Fail(sw + ": input and output counts differ");
        values_.resize(output.count * size_t(width));
        ReadFloats(output, width, values_.data());
        auto [slot, fresh] = byNode.emplace(node, anim.channels.size());
        if (fresh) {
          anim.channels.emplace_back();
          anim.channels.back().node = NodeName(node);
          channelNode.push_back(node);
        }
        import::Channel& channel = anim.channels[slot->second];
        const float* v = values_.data() + (cubic ? width : 0);  // a spline key is (in, value, out)
        const size_t step3 = size_t(width) * (cubic ? 3 : 1);
        const size_t keys = input.count + (step && input.count > 1 ? input.count - 1 : 0);
        auto emit = [&](double time, const float* value) {
          if (width == 4) {
            channel.rotations.push_back({time, {value[3], value[0], value[1], value[2]}});
          } else {
            auto& list = path == "translation" ? channel.positions : channel.scalings;
            list.push_back({time, {value[0], value[1], value[2]}});
          }
        };
        if (width == 4)
          channel.rotations.reserve(channel.rotations.size() + keys);
        else
          (path == "translation" ? channel.positions : channel.scalings).reserve(keys);
        for (size_t k = 0; k < input.count; ++k) {
          const double time = double(times_[k] * 1000.0f);
          // A step holds its value until a millisecond before the next key.
          if (step && k > 0) emit(std::max(time - 1.0, double(times_[k - 1] * 1000.0f)), v + (k - 1) * step3);
          emit(time, v + k * step3);
        }
      }
      // Components the animation leaves alone hold the node's rest value, as one key at 0.
      for (size_t c = 0; c < anim.channels.size(); ++c) {
        import::Channel& ch = anim.channels[c];
        const Trs& trs = trs_[channelNode[c]];
        if (!trs.given) continue;
        if (ch.positions.empty()) ch.positions.push_back({0, {trs.t[0], trs.t[1], trs.t[2]}});
        if (ch.rotations.empty()) ch.rotations.push_back({0, {trs.r[3], trs.r[0], trs.r[1], trs.r[2]}});
        if (ch.scalings.empty()) ch.scalings.push_back({0, {trs.s[0], trs.s[1], trs.s[2]}});
      }
      scene_.animations.push_back(std::move(anim));
    }
  }

  std::string_view bytes_;
  std::string path_;
  fs::path dir_;
  json doc_;
  std::string_view bin_;
  bool hasBin_ = false;
  std::vector<std::string> owned_;
  std::vector<std::unique_ptr<platform::MappedFile>> files_;
  std::vector<std::string_view> buffers_;
  import::Scene scene_;
  size_t defaultMaterial_ = kNone;
  size_t skippedPrimitives_ = 0;
  size_t unplacedTriangles_ = 0;
  std::map<size_t, size_t> embedded_;
  std::map<std::pair<size_t, size_t>, std::vector<unsigned>> meshes_;
  std::vector<int> state_;
  std::vector<Trs> trs_;
  // Scratch reused across primitives and channels.
  std::vector<uint32_t> indices_, jointScratch_;
  std::vector<char> used_;
  VertexJoin join_;
  std::vector<float> weightScratch_, times_, values_;
};

}  // namespace

bool IsGltfPath(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  return ext == ".gltf" || ext == ".glb";
}

import::Scene ReadGltfBytes(std::string_view bytes, const std::string& path) {
  try {
    return GltfReader(bytes, path).Run();
  } catch (const json::exception& e) {
    // Type errors inside the JSON library (values checked above never get here).
    throw std::runtime_error(path + ": " + e.what());
  }
}

import::Scene ReadGltf(const std::string& path) {
  platform::MappedFile file;
  if (!file.Open(path)) throw std::runtime_error(path + ": cannot read the file");
  return ReadGltfBytes(file.Bytes(), path);
}

}  // namespace vorn

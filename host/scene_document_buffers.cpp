// Sidecar buffers: large arrays of the scene document read from binary files beside it,
// checked against the file and read straight into place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <limits>

#include "host/scene_document_loader.h"

namespace vorn::scene_doc {

const Loader::BufferFile& Loader::Buffer(const std::string& name, const std::string& path) {
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

void Loader::ReadElements(const BufferRef& b, size_t first, size_t n, void* dst, const std::string& path) {
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

Loader::BufferRef Loader::OpenBuffer(const json& v, const std::string& path, const std::string& scalar, int minComps,
                                     int maxComps, size_t scalarSize, const std::string& altScalar) {
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
    // One or two digits: "float32x3" for points, "float32x12" for matrices.
    const std::string c = type.substr(type.find('x') + 1);
    const bool digits = (c.size() == 1 || c.size() == 2) && std::isdigit(static_cast<unsigned char>(c[0])) &&
                        std::isdigit(static_cast<unsigned char>(c.back())) && c[0] != '0';
    comps = digits ? std::stoi(c) : 0;
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

size_t Loader::FloatArray(const json& v, const std::string& path, int minComps, int maxComps, std::vector<float>& out) {
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

size_t Loader::IndexArray(const json& v, const std::string& path, int comps, std::vector<uint32_t>& out, int64_t hi) {
  return ReadIndices(
      v, path, comps, hi, [&](size_t count) { out.assign(count * size_t(comps), 0); },
      [&](size_t i, int k, uint32_t x) { out[i * size_t(comps) + size_t(k)] = x; });
}

size_t Loader::CornerIndices(const json& v, const std::string& path, SharedArray<MapFace>& out, size_t limit,
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

}  // namespace vorn::scene_doc

// Only what reading a member needs: the end record (zip64 too), the central directory, the
// local header's variable part, and methods 0 (stored) and 8 (deflate).
#include "importers/zip_archive.h"

#include <libdeflate.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace vorn {

namespace {

uint16_t Le16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint16_t(b[0] | b[1] << 8);
}
uint32_t Le32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
uint64_t Le64(const char* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

// Inflated members are bounded so that a forged size cannot ask for more memory than any scene needs.
constexpr uint64_t kMaxMemberSize = uint64_t(1) << 32;

// A member path with "." and ".." segments resolved, '/' between parts, lower case.
std::string Normalized(std::string_view name) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char c : name) {
    if (c == '/' || c == '\\')
      flush();
    else
      part.push_back(char(std::tolower(static_cast<unsigned char>(c))));
  }
  flush();
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

}  // namespace

bool LooksLikeZip(std::string_view bytes) { return bytes.size() >= 4 && bytes.substr(0, 4) == std::string_view("PK\3\4", 4); }

void ZipArchive::Fail(const std::string& what) const { throw std::runtime_error(label_ + ": " + what); }

ZipArchive::ZipArchive(std::string_view bytes, const std::string& label) : bytes_(bytes), label_(label) {
  // The end record is within the last 64 KiB + 22 bytes (its comment is at most 65535 bytes).
  if (bytes.size() < 22) Fail("the zip archive is cut short");
  size_t end = std::string_view::npos;
  const size_t lowest = bytes.size() > 65557 ? bytes.size() - 65557 : 0;
  for (size_t at = bytes.size() - 22 + 1; at-- > lowest;)
    if (Le32(bytes.data() + at) == 0x06054b50) {
      end = at;
      break;
    }
  if (end == std::string_view::npos) Fail("no zip directory (the archive is cut short or not a zip file)");
  const char* e = bytes.data() + end;
  uint64_t count = Le16(e + 10), dirSize = Le32(e + 12), dirOffset = Le32(e + 16);
  if ((count == 0xffff || dirSize == 0xffffffff || dirOffset == 0xffffffff) && end >= 20 &&
      Le32(bytes.data() + end - 20) == 0x07064b50) {
    const uint64_t record = Le64(bytes.data() + end - 20 + 8);
    if (record > bytes.size() || bytes.size() - record < 56 || Le32(bytes.data() + record) != 0x06064b50)
      Fail("a broken zip64 directory record");
    const char* z = bytes.data() + record;
    count = Le64(z + 32);
    dirSize = Le64(z + 40);
    dirOffset = Le64(z + 48);
  }
  if (dirOffset > bytes.size() || dirSize > bytes.size() - dirOffset) Fail("the zip directory runs past the end of the archive");
  if (count > dirSize / 46) Fail("the zip directory is cut short");
  entries_.reserve(size_t(count));
  size_t at = size_t(dirOffset);
  const size_t dirEnd = size_t(dirOffset + dirSize);
  for (uint64_t i = 0; i < count; ++i) {
    if (dirEnd - at < 46 || Le32(bytes.data() + at) != 0x02014b50) Fail("the zip directory is damaged");
    const char* h = bytes.data() + at;
    Entry entry;
    entry.method = Le16(h + 10);
    entry.crc = Le32(h + 16);
    entry.packedSize = Le32(h + 20);
    entry.size = Le32(h + 24);
    const size_t nameLength = Le16(h + 28), extraLength = Le16(h + 30), commentLength = Le16(h + 32);
    entry.localHeader = Le32(h + 42);
    if (dirEnd - at - 46 < nameLength + extraLength + commentLength) Fail("the zip directory is damaged");
    entry.name.assign(h + 46, nameLength);
    // Zip64 sizes and offset, in this order, for the fields that hold all ones.
    const char* x = h + 46 + nameLength;
    const char* xEnd = x + extraLength;
    while (xEnd - x >= 4) {
      const uint16_t id = Le16(x), size = Le16(x + 2);
      if (size_t(xEnd - x - 4) < size) break;
      if (id == 1) {
        const char* v = x + 4;
        const char* vEnd = v + size;
        auto take = [&](uint64_t& field, uint64_t allOnes) {
          if (field == allOnes && vEnd - v >= 8) {
            field = Le64(v);
            v += 8;
          }
        };
        take(entry.size, 0xffffffff);
        take(entry.packedSize, 0xffffffff);
        take(entry.localHeader, 0xffffffff);
      }
      x += 4 + size;
    }
    at += 46 + nameLength + extraLength + commentLength;
    entries_.push_back(std::move(entry));
  }
}

const ZipArchive::Entry* ZipArchive::Find(std::string_view name) const {
  for (const Entry& e : entries_)
    if (e.name == name) return &e;
  const std::string wanted = Normalized(name);
  for (const Entry& e : entries_)
    if (Normalized(e.name) == wanted) return &e;
  return nullptr;
}

std::string ZipArchive::Read(const Entry& entry) const {
  if (entry.size > kMaxMemberSize) Fail("zip member " + entry.name + ": too large");
  std::string out(size_t(entry.size), '\0');
  ReadInto(entry, out.data());
  return out;
}

void ZipArchive::ReadInto(const Entry& entry, char* out) const {
  const std::string where = "zip member " + entry.name;
  if (entry.localHeader > bytes_.size() || bytes_.size() - entry.localHeader < 30 ||
      Le32(bytes_.data() + entry.localHeader) != 0x04034b50)
    Fail(where + ": its header is missing or damaged");
  const char* h = bytes_.data() + entry.localHeader;
  const uint64_t start = entry.localHeader + 30 + Le16(h + 26) + Le16(h + 28);
  if (start > bytes_.size() || entry.packedSize > bytes_.size() - start) Fail(where + ": runs past the end of the archive");
  if (entry.size > kMaxMemberSize) Fail(where + ": too large");
  const char* data = bytes_.data() + start;
  if (entry.method == 0) {
    if (entry.packedSize != entry.size) Fail(where + ": stored sizes disagree");
    std::memcpy(out, data, size_t(entry.size));
  } else if (entry.method == 8) {
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(libdeflate_alloc_decompressor(),
                                                                                   libdeflate_free_decompressor);
    if (!d) throw std::bad_alloc();
    if (libdeflate_deflate_decompress(d.get(), data, size_t(entry.packedSize), out, size_t(entry.size), nullptr) !=
        LIBDEFLATE_SUCCESS)
      Fail(where + ": the compressed data is damaged or cut short");
  } else {
    Fail(where + ": compression method " + std::to_string(entry.method) + " is not supported (only stored and deflate)");
  }
  if (libdeflate_crc32(0, out, size_t(entry.size)) != entry.crc) Fail(where + ": checksum mismatch (damaged archive)");
}

}  // namespace vorn

// Walks the data bytes of one object along its template. Shared by validation and the
// encoders; the visitor sees every value in file order.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "xformat/template_registry.h"

namespace vorn {

struct DataCursor {
  const uint8_t* p;
  size_t left;
};

// A count followed by that many DWORDs: the shape of MeshFace.
inline bool IsCountedDwords(const XTemplate& element) {
  const auto& ms = element.members;
  return ms.size() == 2 && !ms[0].isArray && ms[0].type == XMemberType::Dword && ms[1].isArray &&
         ms[1].type == XMemberType::Dword && ms[1].dimCount == 1 && element.dims[ms[1].firstDim].member == 0;
}

// A visitor that declares kFlatLists sees only Value and Values calls that matter, so a run of
// same-typed values may reach it as one Values call. Arrays of the two element shapes that make
// up big meshes are walked that way: structures of 4-byte members of one type (Vector,
// Coords2d), and a count followed by that many DWORDs (MeshFace). Returns the number of
// elements walked; the caller walks the rest, and reports the fault of the first bad one.
template <class Visitor>
uint32_t WalkFlatElements(const XTemplate& element, DataCursor& c, Visitor& v, uint32_t n) {
  const auto& ms = element.members;
  auto word = [](XMemberType t) { return t == XMemberType::Dword || t == XMemberType::Sdword; };
  if (element.fixedSize > 0 && !ms.empty()) {
    const XMemberType type = ms[0].type;
    if (type != XMemberType::Float && !word(type)) return 0;
    for (const XTemplateMember& m : ms)
      if (m.isArray || (m.type != type && !(word(m.type) && word(type)))) return 0;
    // the caller checked that n elements fit
    const size_t bytes = size_t{n} * static_cast<size_t>(element.fixedSize);
    v.Values(type, c.p, static_cast<uint32_t>(bytes / 4));
    c.p += bytes;
    c.left -= bytes;
    return n;
  }
  if (!IsCountedDwords(element)) return 0;
  // The elements lie one after another, so a run of them is one run of DWORDs.
  uint32_t k = 0;
  size_t bytes = 0;
  for (; k < n; ++k) {
    const size_t left = c.left - bytes;
    if (left < 4) break;
    uint32_t count;
    std::memcpy(&count, c.p + bytes, 4);
    if (uint64_t{count} * 4 > left - 4) break;
    bytes += 4 * size_t{count} + 4;
  }
  if (bytes > 0) v.Values(XMemberType::Dword, c.p, static_cast<uint32_t>(bytes / 4));
  c.p += bytes;
  c.left -= bytes;
  return k;
}

// Visitor:
//   void Value(XMemberType, const uint8_t*)                  one primitive
//   void Values(XMemberType, const uint8_t*, uint32_t count) a primitive array, packed
//   void String(const char*, size_t length, bool moreInArray)
//   void MemberEnd(uint32_t depth)                           after a member that is not an array
//   void ElementEnd(bool last, uint32_t depth)               after an array element of a
//                                                            string or structure array
//   void ArrayEnd(uint32_t count, uint32_t depth)            after an array member
//   void MemberBegin(uint32_t depth)                         before every member
// and, optionally, uint32_t Structures(element, cursor, n, depth): writes what the calls above
// would for the first elements of a structure array it can take whole, and says how many.
// Returns false with *error naming the member when the bytes do not fit.
template <class Visitor>
bool WalkData(const TemplateRegistry& registry, const XTemplate& tpl, DataCursor& c, Visitor& v,
              uint32_t depth, std::string* error) {
  uint32_t counts[256];
  const size_t memberCount = tpl.members.size();
  for (size_t i = 0; i < memberCount; ++i) {
    const XTemplateMember& m = tpl.members[i];
    auto fail = [&](const std::string& what) {
      if (error) *error = "member " + m.name + ": " + what;
      return false;
    };
    v.MemberBegin(depth);
    if (!m.isArray) {
      if (m.type == XMemberType::Template) {
        if (!WalkData(registry, registry.At(m.templateIndex), c, v, depth + 1, error)) {
          if (error) *error = "member " + m.name + "." + *error;
          return false;
        }
      } else if (m.type == XMemberType::String) {
        const void* zero = std::memchr(c.p, 0, c.left);
        if (!zero) return fail("string without its terminating zero byte");
        const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(zero) - c.p);
        v.String(reinterpret_cast<const char*>(c.p), length, false);
        c.p += length + 1;
        c.left -= length + 1;
      } else {
        const size_t size = PrimitiveSize(m.type);
        if (c.left < size)
          return fail("needs " + std::to_string(size) + " bytes, " + std::to_string(c.left) + " left");
        uint32_t value = 0;
        if (size <= 4) std::memcpy(&value, c.p, size);
        counts[i] = value;
        v.Value(m.type, c.p);
        c.p += size;
        c.left -= size;
      }
      v.MemberEnd(depth);
      continue;
    }

    uint64_t count = 1;
    for (uint32_t d = 0; d < m.dimCount; ++d) {
      const XArrayDim& dim = tpl.dims[m.firstDim + d];
      count *= dim.member >= 0 ? counts[dim.member] : dim.size;
      // every element takes at least one byte, so a count beyond the bytes left cannot fit
      if (count > c.left) {
        if (m.type == XMemberType::Template && registry.At(m.templateIndex).fixedSize == 0) {
          if (count > (1u << 20)) return fail("too many elements of an empty structure");
        } else {
          return fail(std::to_string(count) + " elements cannot fit in the " +
                      std::to_string(c.left) + " bytes left");
        }
      }
    }
    const uint32_t n = static_cast<uint32_t>(count);
    if (m.type == XMemberType::Template) {
      const XTemplate& element = registry.At(m.templateIndex);
      if (element.fixedSize > 0 && count * static_cast<uint64_t>(element.fixedSize) > c.left)
        return fail(std::to_string(count) + " elements of " + element.name + " need " +
                    std::to_string(count * static_cast<uint64_t>(element.fixedSize)) + " bytes, " +
                    std::to_string(c.left) + " left");
      uint32_t k = 0;
      if constexpr (requires { v.Structures(element, c, n, depth); })
        k = v.Structures(element, c, n, depth);
      else if constexpr (requires { Visitor::kFlatLists; })
        k = WalkFlatElements(element, c, v, n);
      for (; k < n; ++k) {
        if (!WalkData(registry, element, c, v, depth + 1, error)) {
          if (error) *error = "member " + m.name + "[" + std::to_string(k) + "]." + *error;
          return false;
        }
        v.ElementEnd(k + 1 == n, depth);
      }
    } else if (m.type == XMemberType::String) {
      for (uint32_t k = 0; k < n; ++k) {
        const void* zero = std::memchr(c.p, 0, c.left);
        if (!zero) return fail("string " + std::to_string(k) + " without its terminating zero byte");
        const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(zero) - c.p);
        v.String(reinterpret_cast<const char*>(c.p), length, k + 1 < n);
        c.p += length + 1;
        c.left -= length + 1;
        v.ElementEnd(k + 1 == n, depth);
      }
    } else {
      const uint64_t bytes = count * PrimitiveSize(m.type);
      if (bytes > c.left)
        return fail(std::to_string(count) + " elements need " + std::to_string(bytes) + " bytes, " +
                    std::to_string(c.left) + " left");
      v.Values(m.type, c.p, n);
      c.p += bytes;
      c.left -= static_cast<size_t>(bytes);
    }
    v.ArrayEnd(n, depth);
  }
  return true;
}

struct NullVisitor {
  static constexpr bool kFlatLists = true;
  void MemberBegin(uint32_t) {}
  void Value(XMemberType, const uint8_t*) {}
  void Values(XMemberType, const uint8_t*, uint32_t) {}
  void String(const char*, size_t, bool) {}
  void MemberEnd(uint32_t) {}
  void ElementEnd(bool, uint32_t) {}
  void ArrayEnd(uint32_t, uint32_t) {}
};

// Whether size bytes are exactly one object of the template; *error says why not.
inline bool ValidateData(const TemplateRegistry& registry, const XTemplate& tpl,
                         const uint8_t* data, size_t size, std::string* error) {
  if (tpl.fixedSize >= 0) {
    if (static_cast<uint64_t>(tpl.fixedSize) == size) return true;
    if (error)
      *error = "takes " + std::to_string(tpl.fixedSize) + " bytes, " + std::to_string(size) + " given";
    return false;
  }
  DataCursor c{data, size};
  NullVisitor v;
  if (!WalkData(registry, tpl, c, v, 0, error)) return false;
  if (c.left != 0) {
    if (error)
      *error = std::to_string(c.left) + " bytes beyond the end of the data (" +
               std::to_string(size - c.left) + " used of " + std::to_string(size) + ")";
    return false;
  }
  return true;
}

}  // namespace vorn

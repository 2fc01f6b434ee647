// The binary token stream: runs of integers in one INTEGER_LIST, runs of floats in one
// FLOAT_LIST (32-bit), strings as STRING tokens that end the current list.
#include <cstring>
#include <functional>
#include <vector>

#include "xformat/data_walker.h"
#include "xformat/template_serialisers.h"
#include "xformat/token_codes.h"
#include "xformat/xfile_encoders.h"

namespace vorn {

namespace {

// Counts what a write pass will put out: the length of every token list, in order, and the
// bytes of the whole stream, so lists can be written with their counts in front and the stream
// can go out as it is made.
struct ListCounts {
  std::vector<uint32_t> lengths;
  uint64_t bytes = 0;
};

// kCount: only count into `counts`; otherwise write to `out`, taking list lengths from `counts`.
template <bool kCount>
struct BinaryVisitor {
  static constexpr bool kFlatLists = true;  // runs of one type go into one list anyway
  ByteBuffer* out;
  ListCounts& counts;
  XTok list = XTok::End;  // kind of the open list, End when none
  bool finite = true;     // write pass: no infinite or NaN float so far
  size_t next = 0;    // write pass: the next list's entry in counts.lengths

  void Word(uint16_t v) {
    if constexpr (kCount) counts.bytes += 2;
    else out->PutWord(v);
  }
  void Token(XTok kind) { Word(TokenCode(kind)); }
  void Dword(uint32_t v) {
    if constexpr (kCount) counts.bytes += 4;
    else out->PutDword(v);
  }
  void Bytes(const void* p, size_t n) {
    if constexpr (kCount) counts.bytes += n;
    else out->Append(p, n);
  }
  void Name(std::string_view name) {
    Token(XTok::Name);
    Dword(static_cast<uint32_t>(name.size()));
    Bytes(name.data(), name.size());
  }

  void Open(XTok kind, uint32_t n) {
    if (list == kind) {
      if constexpr (kCount) counts.lengths.back() += n;
      return;
    }
    list = kind;
    Token(kind);
    if constexpr (kCount) {
      counts.lengths.push_back(n);
      counts.bytes += 4;
    } else {
      out->PutDword(counts.lengths[next++]);
    }
  }
  void Flush() { list = XTok::End; }

  // Every exponent short of all ones: readers would take infinities and NaNs as they are.
  static bool AllFinite(const uint8_t* p, uint32_t n) {
    uint32_t bad = 0;
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t bits;
      std::memcpy(&bits, p + 4 * k, 4);
      bad |= (bits & 0x7f800000u) == 0x7f800000u;
    }
    return bad == 0;
  }

  static uint32_t Widen(XMemberType type, const uint8_t* p) {
    switch (type) {
      case XMemberType::Word: return static_cast<uint32_t>(p[0] | p[1] << 8);
      case XMemberType::Sword: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<uint32_t>(static_cast<int32_t>(v));
      }
      case XMemberType::Char: return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0])));
      case XMemberType::Uchar:
      case XMemberType::Byte: return p[0];
      default: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
      }
    }
  }

  void MemberBegin(uint32_t) {}
  void Value(XMemberType type, const uint8_t* p) { Values(type, p, 1); }
  void Values(XMemberType type, const uint8_t* p, uint32_t n) {
    if (n == 0) return;
    const bool floats = type == XMemberType::Float || type == XMemberType::Double;
    Open(floats ? XTok::FloatList : XTok::IntegerList, n);
    if constexpr (kCount) {
      counts.bytes += 4 * uint64_t{n};
    } else if (type == XMemberType::Float || type == XMemberType::Dword || type == XMemberType::Sdword) {
      if (type == XMemberType::Float) finite = finite && AllFinite(p, n);
      out->Append(p, 4 * static_cast<size_t>(n));
    } else if (type == XMemberType::Double) {
      // "0032" files hold 32-bit floats
      uint8_t* dst = out->Reserve(4 * static_cast<size_t>(n));
      for (uint32_t k = 0; k < n; ++k) {
        double d;
        std::memcpy(&d, p + 8 * k, 8);
        const float f = static_cast<float>(d);
        std::memcpy(dst + 4 * k, &f, 4);
      }
      finite = finite && AllFinite(dst, n);
      out->Commit(4 * static_cast<size_t>(n));
    } else {
      const size_t size = PrimitiveSize(type);
      uint8_t* dst = out->Reserve(4 * static_cast<size_t>(n));
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t v = Widen(type, p + size * k);
        for (int i = 0; i < 4; ++i) dst[4 * k + i] = static_cast<uint8_t>(v >> (8 * i));
      }
      out->Commit(4 * static_cast<size_t>(n));
    }
  }
  void String(const char* text, size_t length, bool moreInArray) {
    Flush();
    Token(XTok::String);
    Dword(static_cast<uint32_t>(length));
    Bytes(text, length);
    Token(moreInArray ? XTok::Comma : XTok::Semicolon);
  }
  void MemberEnd(uint32_t) {}
  void ElementEnd(bool, uint32_t) {}
  void ArrayEnd(uint32_t, uint32_t) {}
};

// One pass over the objects; the counting pass and the write pass walk alike.
template <bool kCount>
bool EncodeObjects(const XFileTree& tree, BinaryVisitor<kCount>& v, std::string* error) {
  std::vector<uint32_t> open;
  uint32_t current = tree.firstTop;
  while (current != kNoObject || !open.empty()) {
    if (current == kNoObject) {
      v.Token(XTok::CBrace);
      current = tree.objects[open.back()].nextSibling;
      open.pop_back();
      continue;
    }
    const XTreeObject& o = tree.objects[current];
    if (o.isReference) {
      v.Token(XTok::OBrace);
      v.Name(o.name);
      v.Token(XTok::CBrace);
      current = o.nextSibling;
      continue;
    }
    const XTemplate& tpl = *tree.TemplateOf(o);
    v.Name(tpl.name);
    if (!o.name.empty()) v.Name(o.name);
    v.Token(XTok::OBrace);
    std::span<const uint8_t> data = tree.Data(o);
    DataCursor c{data.data(), data.size()};
    std::string why;
    const bool fits = WalkData(tree.templates, tpl, c, v, 0, &why) && c.left == 0;
    if (!fits || !v.finite) {
      if (error)
        *error = tpl.name + (o.name.empty() ? "" : " '" + o.name + "'") +
                 (!fits ? ": data does not fit the template" + (why.empty() ? "" : ": " + why)
                        : ": a float that is not finite cannot be written");
      return false;
    }
    v.Flush();
    if (o.firstChild != kNoObject) {
      open.push_back(current);
      current = o.firstChild;
      continue;
    }
    v.Token(XTok::CBrace);
    current = o.nextSibling;
  }
  return true;
}

std::vector<uint8_t> TemplateBlock(const XFileTree& tree, bool embedTemplates) {
  std::vector<uint8_t> bytes;
  if (embedTemplates)
    for (int32_t index : TemplatesUsed(tree)) AppendTemplateBinary(tree.templates, tree.templates.At(index), bytes);
  return bytes;
}

}  // namespace

bool EncodeBinaryBody(const XFileTree& tree, bool embedTemplates, ByteBuffer& out, std::string* error,
                      const std::function<void(uint64_t)>& sized) {
  ListCounts counts;
  BinaryVisitor<true> counter{nullptr, counts};
  if (!EncodeObjects(tree, counter, error)) return false;
  const std::vector<uint8_t> templates = TemplateBlock(tree, embedTemplates);
  if (sized) sized(templates.size() + counts.bytes);
  out.Append(templates.data(), templates.size());
  BinaryVisitor<false> writer{&out, counts};
  return EncodeObjects(tree, writer, error);
}

}  // namespace vorn

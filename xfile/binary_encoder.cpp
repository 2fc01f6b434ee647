// The binary token stream: runs of integers in one INTEGER_LIST, runs of floats in one
// FLOAT_LIST (32-bit), strings as STRING tokens that end the current list.
#include <cstring>

#include "xfile/data_walker.h"
#include "xfile/xfile_encoders.h"

namespace vorn {

namespace {

enum : uint16_t {
  kTokName = 1, kTokString = 2, kTokIntegerList = 6, kTokFloatList = 7,
  kTokOBrace = 10, kTokCBrace = 11, kTokComma = 19, kTokSemicolon = 20,
};

struct BinaryVisitor {
  static constexpr bool kFlatLists = true;  // runs of one type go into one list anyway
  ByteBuffer& out;
  uint16_t list = 0;  // kind of the open list, 0 when none
  size_t countAt = 0;
  uint32_t count = 0;

  void Open(uint16_t kind) {
    if (list == kind) return;
    Flush();
    out.PutWord(kind);
    countAt = out.Size();
    out.PutDword(0);
    list = kind;
    count = 0;
  }
  void Flush() {
    if (list) out.PatchDword(countAt, count);
    list = 0;
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
    if (type == XMemberType::Float) {
      Open(kTokFloatList);
      out.Append(p, 4 * static_cast<size_t>(n));
    } else if (type == XMemberType::Double) {
      // "0032" files hold 32-bit floats
      Open(kTokFloatList);
      uint8_t* dst = out.Reserve(4 * static_cast<size_t>(n));
      for (uint32_t k = 0; k < n; ++k) {
        double d;
        std::memcpy(&d, p + 8 * k, 8);
        const float f = static_cast<float>(d);
        std::memcpy(dst + 4 * k, &f, 4);
      }
      out.Commit(4 * static_cast<size_t>(n));
    } else if (type == XMemberType::Dword || type == XMemberType::Sdword) {
      Open(kTokIntegerList);
      out.Append(p, 4 * static_cast<size_t>(n));
    } else {
      Open(kTokIntegerList);
      const size_t size = PrimitiveSize(type);
      uint8_t* dst = out.Reserve(4 * static_cast<size_t>(n));
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t v = Widen(type, p + size * k);
        for (int i = 0; i < 4; ++i) dst[4 * k + i] = static_cast<uint8_t>(v >> (8 * i));
      }
      out.Commit(4 * static_cast<size_t>(n));
    }
    count += n;
  }
  void String(const char* text, size_t length, bool moreInArray) {
    Flush();
    out.PutWord(kTokString);
    out.PutDword(static_cast<uint32_t>(length));
    out.Append(text, length);
    out.PutWord(moreInArray ? kTokComma : kTokSemicolon);
  }
  void MemberEnd(uint32_t) {}
  void ElementEnd(bool, uint32_t) {}
  void ArrayEnd(uint32_t, uint32_t) {}
};

void PutName(ByteBuffer& out, std::string_view name) {
  out.PutWord(kTokName);
  out.PutDword(static_cast<uint32_t>(name.size()));
  out.Append(name.data(), name.size());
}

}  // namespace

bool EncodeBinaryBody(const XFileTree& tree, bool embedTemplates, ByteBuffer& out,
                      std::string* error) {
  if (embedTemplates) {
    std::vector<uint8_t> bytes;
    for (int32_t index : TemplatesUsed(tree)) AppendTemplateBinary(tree.templates, tree.templates.At(index), bytes);
    out.Append(bytes.data(), bytes.size());
  }
  BinaryVisitor v{out};
  std::vector<uint32_t> open;
  uint32_t current = tree.firstTop;
  while (current != kNoObject || !open.empty()) {
    if (current == kNoObject) {
      out.PutWord(kTokCBrace);
      current = tree.objects[open.back()].nextSibling;
      open.pop_back();
      continue;
    }
    const XTreeObject& o = tree.objects[current];
    if (o.isReference) {
      out.PutWord(kTokOBrace);
      PutName(out, o.name);
      out.PutWord(kTokCBrace);
      current = o.nextSibling;
      continue;
    }
    const XTemplate& tpl = *tree.TemplateOf(o);
    PutName(out, tpl.name);
    if (!o.name.empty()) PutName(out, o.name);
    out.PutWord(kTokOBrace);
    std::span<const uint8_t> data = tree.Data(o);
    DataCursor c{data.data(), data.size()};
    std::string why;
    if (!WalkData(tree.templates, tpl, c, v, 0, &why) || c.left != 0) {
      if (error) *error = tpl.name + (o.name.empty() ? "" : " '" + o.name + "'") + ": data does not fit the template" + (why.empty() ? "" : ": " + why);
      return false;
    }
    v.Flush();
    if (o.firstChild != kNoObject) {
      open.push_back(current);
      current = o.firstChild;
      continue;
    }
    out.PutWord(kTokCBrace);
    current = o.nextSibling;
  }
  return true;
}

}  // namespace vorn

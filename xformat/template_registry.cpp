#include "xformat/template_registry.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "xformat/tokenizer.h"

namespace vorn {

namespace {

constexpr size_t kMaxTemplates = 4096;
constexpr size_t kMaxMembers = 256;
constexpr size_t kMaxDims = 8;
constexpr uint32_t kMaxDepth = 16;

uint64_t GuidKey(const Guid& g) {
  uint64_t hi = static_cast<uint64_t>(g.data1) << 32 | static_cast<uint64_t>(g.data2) << 16 | g.data3;
  uint64_t lo = 0;
  for (int i = 0; i < 8; ++i) lo = lo << 8 | g.data4[i];
  return hi ^ (lo * 0x9E3779B97F4A7C15ull);
}

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

std::string Where(const XTokenizer& tokens) {
  // The tokenizer formats positions only for its own faults; name the byte for ours.
  return " at byte " + std::to_string(tokens.Offset());
}

bool TypeFromToken(XTok kind, XMemberType* type) {
  switch (kind) {
    case XTok::KwWord: *type = XMemberType::Word; return true;
    case XTok::KwDword: *type = XMemberType::Dword; return true;
    case XTok::KwFloat: *type = XMemberType::Float; return true;
    case XTok::KwDouble: *type = XMemberType::Double; return true;
    case XTok::KwChar: *type = XMemberType::Char; return true;
    case XTok::KwUchar: *type = XMemberType::Uchar; return true;
    case XTok::KwByte: *type = XMemberType::Byte; return true;
    case XTok::KwSword: *type = XMemberType::Sword; return true;
    case XTok::KwSdword: *type = XMemberType::Sdword; return true;
    case XTok::KwLpstr:
    case XTok::KwCstring: *type = XMemberType::String; return true;
    default: return false;
  }
}

const char* TypeKeyword(XMemberType type) {
  switch (type) {
    case XMemberType::Word: return "WORD";
    case XMemberType::Dword: return "DWORD";
    case XMemberType::Float: return "FLOAT";
    case XMemberType::Double: return "DOUBLE";
    case XMemberType::Char: return "CHAR";
    case XMemberType::Uchar: return "UCHAR";
    case XMemberType::Byte: return "BYTE";
    case XMemberType::Sword: return "SWORD";
    case XMemberType::Sdword: return "SDWORD";
    case XMemberType::String: return "STRING";
    case XMemberType::Template: return "";
  }
  return "";
}

XTok TypeToken(XMemberType type) {
  switch (type) {
    case XMemberType::Word: return XTok::KwWord;
    case XMemberType::Dword: return XTok::KwDword;
    case XMemberType::Float: return XTok::KwFloat;
    case XMemberType::Double: return XTok::KwDouble;
    case XMemberType::Char: return XTok::KwChar;
    case XMemberType::Uchar:
    case XMemberType::Byte: return XTok::KwUchar;
    case XMemberType::Sword: return XTok::KwSword;
    case XMemberType::Sdword: return XTok::KwSdword;
    case XMemberType::String: return XTok::KwLpstr;
    case XMemberType::Template: return XTok::Name;
  }
  return XTok::End;
}

void PutWord(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutToken(std::vector<uint8_t>& out, XTok kind) { PutWord(out, TokenCode(kind)); }

void PutDword(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutName(std::vector<uint8_t>& out, std::string_view name) {
  PutToken(out, XTok::Name);
  PutDword(out, static_cast<uint32_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
}

void PutGuid(std::vector<uint8_t>& out, const Guid& guid) {
  PutToken(out, XTok::Guid);
  uint8_t bytes[16];
  StoreGuid(guid, bytes);
  out.insert(out.end(), bytes, bytes + 16);
}

bool ParseUnsigned(std::string_view text, uint32_t* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

size_t PrimitiveSize(XMemberType type) {
  switch (type) {
    case XMemberType::Word:
    case XMemberType::Sword: return 2;
    case XMemberType::Dword:
    case XMemberType::Sdword:
    case XMemberType::Float: return 4;
    case XMemberType::Double: return 8;
    case XMemberType::Char:
    case XMemberType::Uchar:
    case XMemberType::Byte: return 1;
    case XMemberType::String:
    case XMemberType::Template: return 0;
  }
  return 0;
}

bool IsIntegerType(XMemberType type) {
  return type != XMemberType::Float && type != XMemberType::Double &&
         type != XMemberType::String && type != XMemberType::Template;
}

bool IsFloatType(XMemberType type) {
  return type == XMemberType::Float || type == XMemberType::Double;
}

int32_t TemplateRegistry::IndexOf(const Guid& guid) const {
  auto it = byGuid_.find(GuidKey(guid));
  if (it == byGuid_.end()) return -1;
  for (int32_t index : it->second)
    if (templates_[index].guid == guid) return index;
  return -1;
}

int32_t TemplateRegistry::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < templates_.size(); ++i)
    if (templates_[i].name == name) return static_cast<int32_t>(i);
  return -1;
}

int32_t TemplateRegistry::IndexOfAnyCase(std::string_view name) const {
  const int32_t exact = IndexOf(name);
  if (exact >= 0) return exact;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < templates_.size(); ++i) {
    const std::string& n = templates_[i].name;
    if (n.size() == name.size() &&
        std::equal(n.begin(), n.end(), name.begin(), [&](char a, char b) { return lower(a) == lower(b); }))
      return static_cast<int32_t>(i);
  }
  return -1;
}

const XTemplate* TemplateRegistry::Find(const Guid& guid) const {
  int32_t i = IndexOf(guid);
  return i < 0 ? nullptr : &templates_[i];
}

const XTemplate* TemplateRegistry::Find(std::string_view name) const {
  int32_t i = IndexOf(name);
  return i < 0 ? nullptr : &templates_[i];
}

bool TemplateRegistry::AllowsChild(const XTemplate& parent, const XTemplate& child) const {
  switch (parent.restriction) {
    case XRestriction::Closed: return false;
    case XRestriction::Open: return true;
    case XRestriction::Restricted:
      for (size_t i = 0; i < parent.allowedNames.size(); ++i) {
        if (parent.allowedNames[i] == child.name) return true;
        if (!parent.allowedGuids[i].IsZero() && parent.allowedGuids[i] == child.guid) return true;
      }
      return false;
  }
  return false;
}

bool TemplateRegistry::Insert(XTemplate&& tpl, std::string* error) {
  // The first definition of an identifier stays: files routinely repeat registered templates.
  if (IndexOf(tpl.guid) >= 0) return true;
  if (templates_.size() >= kMaxTemplates) return Fail(error, "too many templates");
  const int32_t index = static_cast<int32_t>(templates_.size());
  byGuid_[GuidKey(tpl.guid)].push_back(index);
  templates_.push_back(std::move(tpl));
  return true;
}

bool TemplateRegistry::ParseTemplate(XTokenizer& tokens, std::string* error) {
  XToken t;
  XTemplate tpl;
  auto expect = [&](XTok kind, const char* what) {
    if (!tokens.Next(&t)) return Fail(error, tokens.Error());
    if (t.kind != kind)
      return Fail(error, std::string("template ") + (tpl.name.empty() ? "" : tpl.name + ": ") +
                             "expected " + what + ", found " + TokenName(t.kind) + Where(tokens));
    return true;
  };
  if (!expect(XTok::Name, "template name")) return false;
  tpl.name = std::string(t.text);
  if (!expect(XTok::OBrace, "'{'")) return false;
  if (!expect(XTok::Guid, "GUID")) return false;
  tpl.guid = t.guid;
  const std::string context = "template " + tpl.name + ": ";

  for (;;) {
    if (!tokens.Next(&t)) return Fail(error, tokens.Error());
    if (t.kind == XTok::CBrace) break;
    if (t.kind == XTok::OBracket) {
      // restriction: [ ... ] open, [ Name <guid>, ... ] restricted
      if (!tokens.Next(&t)) return Fail(error, tokens.Error());
      if (t.kind == XTok::Dot || (t.kind == XTok::Name && t.text == "...")) {
        if (t.kind == XTok::Dot) {
          for (int i = 0; i < 2; ++i)
            if (!expect(XTok::Dot, "'.'")) return false;
        }
        if (!expect(XTok::CBracket, "']'")) return false;
        tpl.restriction = XRestriction::Open;
      } else {
        tpl.restriction = XRestriction::Restricted;
        for (;;) {
          if (t.kind != XTok::Name)
            return Fail(error, context + "expected a template name in the restriction" + Where(tokens));
          if (tpl.allowedNames.size() >= kMaxMembers) return Fail(error, context + "restriction too long");
          tpl.allowedNames.emplace_back(t.text);
          tpl.allowedGuids.emplace_back();
          if (!tokens.Next(&t)) return Fail(error, tokens.Error());
          if (t.kind == XTok::Guid) {
            tpl.allowedGuids.back() = t.guid;
            if (!tokens.Next(&t)) return Fail(error, tokens.Error());
          }
          if (t.kind == XTok::CBracket) break;
          if (t.kind != XTok::Comma)
            return Fail(error, context + "expected ',' or ']' in the restriction" + Where(tokens));
          if (!tokens.Next(&t)) return Fail(error, tokens.Error());
        }
      }
      if (!expect(XTok::CBrace, "'}' after the restriction")) return false;
      break;
    }

    XTemplateMember m;
    if (t.kind == XTok::KwArray) {
      m.isArray = true;
      if (!tokens.Next(&t)) return Fail(error, tokens.Error());
    }
    if (t.kind == XTok::Name) {
      m.type = XMemberType::Template;
      m.templateIndex = IndexOf(t.text);
      if (m.templateIndex < 0)
        return Fail(error, context + "unknown member type " + std::string(t.text) + Where(tokens));
    } else if (!TypeFromToken(t.kind, &m.type)) {
      return Fail(error, context + "expected a member type, found " + TokenName(t.kind) + Where(tokens));
    }
    if (!expect(XTok::Name, "member name")) return false;
    m.name = std::string(t.text);
    m.firstDim = static_cast<uint32_t>(tpl.dims.size());
    for (;;) {
      if (!tokens.Peek(&t)) return Fail(error, tokens.Error());
      if (t.kind != XTok::OBracket) break;
      tokens.Next(&t);
      if (!m.isArray) return Fail(error, context + "dimension on a member that is not an array");
      if (m.dimCount >= kMaxDims) return Fail(error, context + "too many dimensions");
      if (!tokens.Next(&t)) return Fail(error, tokens.Error());
      XArrayDim dim;
      if (t.kind == XTok::Integer) {
        dim.size = t.integer;
      } else if (t.kind == XTok::Name && ParseUnsigned(t.text, &dim.size)) {
      } else if (t.kind == XTok::Name) {
        for (size_t i = 0; i < tpl.members.size(); ++i)
          if (tpl.members[i].name == t.text) dim.member = static_cast<int32_t>(i);
        if (dim.member < 0)
          return Fail(error, context + "array size " + std::string(t.text) + " is not an earlier member");
        const XTemplateMember& count = tpl.members[dim.member];
        if (count.isArray || !IsIntegerType(count.type))
          return Fail(error, context + "array size " + count.name + " is not an integer member");
      } else {
        return Fail(error, context + "expected an array size" + Where(tokens));
      }
      if (!expect(XTok::CBracket, "']'")) return false;
      tpl.dims.push_back(dim);
      ++m.dimCount;
    }
    if (m.isArray && m.dimCount == 0) return Fail(error, context + "array " + m.name + " without a size");
    if (!expect(XTok::Semicolon, "';' after a member")) return false;
    if (tpl.members.size() >= kMaxMembers) return Fail(error, context + "too many members");
    tpl.members.push_back(std::move(m));
  }

  // size of every data object when nothing in it varies; nesting depth
  int64_t fixed = 0;
  for (const XTemplateMember& m : tpl.members) {
    int64_t element = 0;
    if (m.type == XMemberType::Template) {
      const XTemplate& nested = templates_[m.templateIndex];
      element = nested.fixedSize;
      tpl.depth = std::max(tpl.depth, nested.depth + 1);
    } else if (m.type == XMemberType::String) {
      element = -1;
    } else {
      element = static_cast<int64_t>(PrimitiveSize(m.type));
    }
    int64_t count = 1;
    for (uint32_t d = 0; d < m.dimCount && count >= 0; ++d) {
      const XArrayDim& dim = tpl.dims[m.firstDim + d];
      count = dim.member >= 0 ? -1 : count * dim.size;
      if (count > (int64_t{1} << 40)) count = -1;
    }
    if (fixed < 0 || element < 0 || count < 0) {
      fixed = -1;
    } else {
      fixed += element * count;
      if (fixed > (int64_t{1} << 40)) fixed = -1;
    }
  }
  tpl.fixedSize = fixed;
  if (tpl.depth > kMaxDepth) return Fail(error, context + "templates nested too deeply");
  return Insert(std::move(tpl), error);
}

bool TemplateRegistry::Add(const void* data, size_t size, std::string* error) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  XFileHeader header;
  if (!data || !ParseXFileHeader(bytes, size, &header, error)) return false;
  if (header.compressed) return Fail(error, "compressed template block: inflate it first");
  return AddTokens(bytes + 16, size - 16, header, error);
}

bool TemplateRegistry::AddTokens(const uint8_t* body, size_t size, const XFileHeader& header,
                                 std::string* error) {
  XTokenizer tokens(body, size, header.binary, header.floatBits);
  for (;;) {
    XToken t;
    if (!tokens.Next(&t)) return Fail(error, tokens.Error());
    if (t.kind == XTok::End) return true;
    if (t.kind != XTok::Template)
      return Fail(error, std::string("expected 'template', found ") + TokenName(t.kind) + Where(tokens));
    if (!ParseTemplate(tokens, error)) return false;
  }
}

std::string TypeText(const TemplateRegistry& registry, const XTemplateMember& m) {
  if (m.type == XMemberType::Template) return registry.At(m.templateIndex).name;
  return TypeKeyword(m.type);
}

std::string MemberText(const TemplateRegistry& registry, const XTemplate& tpl,
                       const XTemplateMember& m) {
  std::string text = m.isArray ? "array " : "";
  text += TypeText(registry, m);
  text += ' ';
  text += m.name;
  for (uint32_t d = 0; d < m.dimCount; ++d) {
    const XArrayDim& dim = tpl.dims[m.firstDim + d];
    text += '[';
    text += dim.member >= 0 ? tpl.members[dim.member].name : std::to_string(dim.size);
    text += ']';
  }
  text += ';';
  return text;
}

void AppendTemplateText(const TemplateRegistry& registry, const XTemplate& tpl, std::string& out) {
  out += "template ";
  out += tpl.name;
  out += " {\n <";
  out += FormatGuid(tpl.guid);
  out += ">\n";
  for (const XTemplateMember& m : tpl.members) {
    out += ' ';
    out += MemberText(registry, tpl, m);
    out += '\n';
  }
  if (tpl.restriction == XRestriction::Open) {
    out += " [...]\n";
  } else if (tpl.restriction == XRestriction::Restricted) {
    out += " [";
    for (size_t i = 0; i < tpl.allowedNames.size(); ++i) {
      if (i) out += ", ";
      out += tpl.allowedNames[i];
      if (!tpl.allowedGuids[i].IsZero()) out += " <" + FormatGuid(tpl.allowedGuids[i]) + ">";
    }
    out += "]\n";
  }
  out += "}\n\n";
}

void AppendTemplateBinary(const TemplateRegistry& registry, const XTemplate& tpl,
                          std::vector<uint8_t>& out) {
  PutToken(out, XTok::Template);
  PutName(out, tpl.name);
  PutToken(out, XTok::OBrace);
  PutGuid(out, tpl.guid);
  for (const XTemplateMember& m : tpl.members) {
    if (m.isArray) PutToken(out, XTok::KwArray);
    if (m.type == XMemberType::Template) {
      PutName(out, registry.At(m.templateIndex).name);
    } else {
      PutToken(out, TypeToken(m.type));
    }
    PutName(out, m.name);
    for (uint32_t d = 0; d < m.dimCount; ++d) {
      const XArrayDim& dim = tpl.dims[m.firstDim + d];
      PutToken(out, XTok::OBracket);
      if (dim.member >= 0) {
        PutName(out, tpl.members[dim.member].name);
      } else {
        PutToken(out, XTok::Integer);
        PutDword(out, dim.size);
      }
      PutToken(out, XTok::CBracket);
    }
    PutToken(out, XTok::Semicolon);
  }
  if (tpl.restriction == XRestriction::Open) {
    for (XTok kind : {XTok::OBracket, XTok::Dot, XTok::Dot, XTok::Dot, XTok::CBracket}) PutToken(out, kind);
  } else if (tpl.restriction == XRestriction::Restricted) {
    PutToken(out, XTok::OBracket);
    for (size_t i = 0; i < tpl.allowedNames.size(); ++i) {
      if (i) PutToken(out, XTok::Comma);
      PutName(out, tpl.allowedNames[i]);
      if (!tpl.allowedGuids[i].IsZero()) PutGuid(out, tpl.allowedGuids[i]);
    }
    PutToken(out, XTok::CBracket);
  }
  PutToken(out, XTok::CBrace);
}

std::vector<uint8_t> EncodeTemplatesBinary(const TemplateRegistry& registry,
                                           const std::vector<int32_t>& indices) {
  static constexpr char kHeader[] = "xof 0302bin 0064";
  std::vector<uint8_t> out(kHeader, kHeader + 16);
  for (int32_t index : indices) AppendTemplateBinary(registry, registry.At(index), out);
  return out;
}

}  // namespace vorn

// Template definitions read from the text and binary template encodings.
#include <algorithm>
#include <charconv>

#include "xformat/template_registry.h"
#include "xformat/tokenizer.h"

namespace vorn {

namespace {

constexpr size_t kMaxMembers = 256;
constexpr size_t kMaxDims = 8;
constexpr uint32_t kMaxDepth = 16;

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

bool ParseUnsigned(std::string_view text, uint32_t* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

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

}  // namespace vorn

#include "xformat/template_serialisers.h"

#include "xformat/token_codes.h"

namespace vorn {

namespace {

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

}  // namespace

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

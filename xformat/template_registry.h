// Template definitions of the .X formats: parsed from the text or binary template encodings
// (template_parser.cpp) and looked up by identifier or name; template_serialisers.h encodes
// them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xformat/guid.h"

namespace vorn {

class XTokenizer;
struct XFileHeader;

enum class XMemberType : uint8_t {
  Word, Dword, Float, Double, Char, Uchar, Byte, Sword, Sdword, String, Template
};

// Bytes one member of the type takes in the data encoding; 0 for String and Template.
size_t PrimitiveSize(XMemberType type);
bool IsIntegerType(XMemberType type);
bool IsFloatType(XMemberType type);

// One dimension of an array member: a constant, or the value of an earlier member.
struct XArrayDim {
  uint32_t size = 0;
  int32_t member = -1;  // index of the member of the same template, or -1 for a constant
};

struct XTemplateMember {
  XMemberType type = XMemberType::Dword;
  int32_t templateIndex = -1;  // for Template: the nested template in the registry
  std::string name;
  bool isArray = false;
  uint32_t firstDim = 0;  // into XTemplate::dims
  uint32_t dimCount = 0;
};

enum class XRestriction : uint8_t { Closed, Open, Restricted };

struct XTemplate {
  std::string name;
  Guid guid;
  std::vector<XTemplateMember> members;
  std::vector<XArrayDim> dims;
  XRestriction restriction = XRestriction::Closed;
  std::vector<std::string> allowedNames;  // Restricted: the templates children may have
  std::vector<Guid> allowedGuids;         // parallel to allowedNames, zero when not given
  int64_t fixedSize = 0;                  // bytes of every data object, or -1 when it varies
  uint32_t depth = 0;                     // nesting depth of template members
};

class TemplateRegistry {
 public:
  // A block in the text ("xof 0303txt") or binary ("xof 0302bin"/"0303bin") encoding holding
  // only template definitions. False with a message on malformed input; the templates parsed
  // before the fault stay registered. A compressed block is inflated by the caller (AddTokens).
  bool Add(const void* data, size_t size, std::string* error);
  // The token stream after the 16-byte header.
  bool AddTokens(const uint8_t* body, size_t size, const XFileHeader& header, std::string* error);
  // Parses one definition, the 'template' keyword already read. Used by the reader for
  // templates defined inside a file.
  bool ParseTemplate(XTokenizer& tokens, std::string* error);

  size_t Count() const { return templates_.size(); }
  const XTemplate& At(size_t index) const { return templates_[index]; }
  int32_t IndexOf(const Guid& guid) const;
  int32_t IndexOf(std::string_view name) const;
  // Exact match first, else one that differs only in letter case (as the DirectX loader
  // matches data objects to templates).
  int32_t IndexOfAnyCase(std::string_view name) const;
  const XTemplate* Find(const Guid& guid) const;
  const XTemplate* Find(std::string_view name) const;

  // Whether a child of the template may be an object of the child template.
  bool AllowsChild(const XTemplate& parent, const XTemplate& child) const;

 private:
  bool Insert(XTemplate&& tpl, std::string* error);

  std::vector<XTemplate> templates_;
  std::unordered_map<uint64_t, std::vector<int32_t>> byGuid_;
};

}  // namespace vorn

// Template definitions written back in the text and binary template encodings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "xformat/template_registry.h"

namespace vorn {

// Template definitions in the binary template encoding: header "xof 0302bin 0064" followed by
// the tokens of every listed template.
std::vector<uint8_t> EncodeTemplatesBinary(const TemplateRegistry& registry,
                                           const std::vector<int32_t>& indices);
// One definition in the text encoding, as the text encoder writes it into files.
void AppendTemplateText(const TemplateRegistry& registry, const XTemplate& tpl, std::string& out);
// One definition in the binary token encoding, appended to out.
void AppendTemplateBinary(const TemplateRegistry& registry, const XTemplate& tpl,
                          std::vector<uint8_t>& out);
// A member line's text without indentation: "array DWORD indices[nIndices];".
std::string MemberText(const TemplateRegistry& registry, const XTemplate& tpl,
                       const XTemplateMember& member);
// Name of a member's type as the text encoding writes it ("DWORD", "STRING", "Vector").
std::string TypeText(const TemplateRegistry& registry, const XTemplateMember& member);

}  // namespace vorn

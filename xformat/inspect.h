// Readable views of an .X object tree and of template sets, for `vorn inspect` and
// `vorn templates`.
#pragma once

#include <string>

#include "xformat/template_registry.h"
#include "xformat/xfile_tree.h"

namespace vorn {

struct InspectOptions {
  size_t maxElements = 8;  // array elements shown in the text view before "... (n more)"
};

// The tree with every object's template, name and decoded members, nested by indentation.
std::string InspectText(const XFileTree& tree, const InspectOptions& options = {});
// The same as JSON: {"encoding", "floatBits", "objects": [{"template", "guid", "name", "size",
// "data": {member: value}, "children": [...]} | {"reference": name}]}; arrays in full.
std::string InspectJson(const XFileTree& tree);
// Every template of the registry in the text template encoding, in registration order.
std::string TemplatesText(const TemplateRegistry& registry);

}  // namespace vorn

// The file-level writer: templates, materials, the frame tree and the animation sets.
#pragma once

#include <string>

namespace vorn {

struct ExportContext;

void WriteXFile(ExportContext& ctx, const std::string& path);

}  // namespace vorn

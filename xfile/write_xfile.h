// The file-level writer: templates, materials, the frame tree and the animation sets.
#pragma once

#include <string>

namespace vorn {

struct ExportContext;

// True when the file was saved whole; otherwise why not, in `why` (what the user is told is
// told here already).
bool WriteXFile(ExportContext& ctx, const std::string& path, std::string& why);

}  // namespace vorn

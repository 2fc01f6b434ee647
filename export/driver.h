// The export entry: one synchronous export of the host scene into one .X file.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

class HostScene;
struct ExportContext;
class XNode;

inline constexpr uint32_t kExportSelected = 1;

int XDoExport(const char* outputPath, void* exportInterface, HostScene* host, bool suppressPrompts,
              uint32_t options);

// Steps of the build phase, exposed for tests.
void EstimateBuildUnits(ExportContext& ctx, XNode& node);
uint32_t SampleCount(const ExportContext& ctx);
void BuildExportedNodes(ExportContext& ctx);
void ProcessNode(ExportContext& ctx, XNode& node);
std::string CleanRootName(const std::string& hostName);
std::string OutputDirectoryOf(const std::string& path);

}  // namespace vorn

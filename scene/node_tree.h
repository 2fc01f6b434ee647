// The tree of exported nodes: kinds, names, filters, export and bone marks.
#pragma once

#include <string>
#include <string_view>

#include "host/host_scene.h"

namespace vorn {

struct ExportContext;
struct ExportOptions;
class XNode;

std::string CleanName(const char* text);
inline std::string CleanName(const std::string& text) { return CleanName(text.c_str()); }
std::string MakeNodeName(ExportContext& ctx, const std::string& hostName);

bool IsFilteredOut(const ExportOptions& o, const XNode* node);
bool PassesExportTest(const ExportContext& ctx, const XNode& node);
void PropagateExportMark(ExportContext& ctx, XNode* node, bool force);

// Fills topNodes, nodeMap and rootTransform and sets every mark; the driver adds the work
// estimate afterwards.
void BuildNodeTree(ExportContext& ctx, const HostNode* root);

}  // namespace vorn

// Loading and saving the settings file "vorn_max_config.ini".
#pragma once

#include <string>

namespace vorn {

struct ExportContext;
struct ExportSettings;
class HostScene;

std::string SettingsFilePath(const HostScene& host);
// Resets the settings and reads them from the file; needs the context's host, animation range
// and ticks per frame.
void LoadExportOptions(const ExportContext& ctx, ExportSettings& settings);
// True when the file was rewritten.
bool SaveExportOptions(const ExportContext& ctx, const ExportSettings& settings);

}  // namespace vorn

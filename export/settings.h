// Loading and saving the settings file "vorn_max_config.ini".
#pragma once

#include <string>

namespace vorn {

struct ExportContext;
class HostScene;

std::string SettingsFilePath(const HostScene& host);
void LoadExportOptions(ExportContext& ctx);
void SaveExportOptions(ExportContext& ctx);

}  // namespace vorn

// The modal options dialog: 1 when confirmed with OK, 0 when cancelled.
#pragma once

namespace vorn {

struct ExportContext;
struct ExportSettings;

// Shows the settings and, on OK, writes the user's choices back into them.
int ShowOptionsDialog(const ExportContext& ctx, ExportSettings& settings);

}  // namespace vorn

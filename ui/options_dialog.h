// The modal options dialog: 1 when confirmed with OK, 0 when cancelled.
#pragma once

namespace vorn {

struct ExportContext;

int ShowOptionsDialog(ExportContext& ctx);

}  // namespace vorn

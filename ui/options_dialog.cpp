#include "ui/options_dialog.h"

#include "export/export_context.h"

namespace vorn {

// Confirmed as loaded until the dialog model lands.
int ShowOptionsDialog(ExportContext& ctx) {
  (void)ctx;
  return 1;
}

}  // namespace vorn

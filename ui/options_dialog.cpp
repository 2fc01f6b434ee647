#include "ui/options_dialog.h"

#include "model/export_context.h"
#include "ui/options_dialog_proc.h"

namespace vorn {

int ShowOptionsDialog(const ExportContext& ctx, ExportSettings& settings) {
  OptionsDialogProc proc(ctx, settings);
  DialogModel dialog = OptionsDialogProc::Layout();
  return ctx.host ? ctx.host->RunDialog(dialog, proc) : RunDialogUnshown(dialog, proc);
}

}  // namespace vorn

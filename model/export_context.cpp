#include "model/export_context.h"

namespace vorn {

void AdvanceProgress(ExportContext& ctx) {
  ++ctx.stepsDone;
  if (static_cast<float>(ctx.stepsDone) >= ctx.nextThreshold) {
    if (ctx.currentPercent - ctx.phaseEndPercent <= 0.01f)
      ctx.host->ProgressUpdate(static_cast<int>(ctx.currentPercent), true, "");
    ctx.currentPercent += ctx.percentPerIncrement;
    ctx.nextThreshold += ctx.stepsPerIncrement;
  }
}

}  // namespace vorn

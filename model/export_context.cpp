#include "model/export_context.h"

#include <algorithm>

namespace vorn {

bool ExportProgress::StartPhase(uint32_t units, float fromPercent, uint32_t increments) {
  const uint32_t k = std::min(units, increments);
  if (k < 1) return false;
  const float kf = static_cast<float>(k);
  const float span = static_cast<float>(increments);
  percentPerIncrement = span / kf;
  stepsPerIncrement = static_cast<float>(units) / kf;
  currentPercent = fromPercent + span / kf;
  nextThreshold = static_cast<float>(stepsDone) + static_cast<float>(units) / kf;
  phaseEndPercent = fromPercent + span;
  return true;
}

void AdvanceProgress(ExportContext& ctx) {
  ExportProgress& p = ctx.progress;
  ++p.stepsDone;
  if (static_cast<float>(p.stepsDone) >= p.nextThreshold) {
    if (p.currentPercent - p.phaseEndPercent <= 0.01f)
      ctx.host->ProgressUpdate(static_cast<int>(p.currentPercent), true, "");
    p.currentPercent += p.percentPerIncrement;
    p.nextThreshold += p.stepsPerIncrement;
  }
}

}  // namespace vorn

// The parts of the operating-system layer that are the same on every system.
#include "UOs.h"

namespace os {

namespace {
TFaultHook gFaultHook = nullptr;
}  // namespace

void SetFaultHook(TFaultHook hook) { gFaultHook = hook; }

void FaultPoint(const char* point) {
  if (gFaultHook) gFaultHook(point);
}

void SleepUnlessAsked(int64_t milliseconds) {
  constexpr int64_t StepMs = 50;
  for (int64_t left = milliseconds; left > 0 && !TerminationRequested(); left -= StepMs)
    SleepMs(unsigned(left < StepMs ? left : StepMs));
}

}  // namespace os

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

}  // namespace os

#include <atomic>

#include "platform/process.h"

namespace {

std::atomic<uint32_t> gHeldScopes{0};

}  // namespace

FineTimerScope::FineTimerScope() : raised_(PlatformRaiseTimerResolution()) { gHeldScopes.fetch_add(1); }

FineTimerScope::~FineTimerScope() {
  if (raised_) PlatformRestoreTimerResolution();
  gHeldScopes.fetch_sub(1);
}

uint32_t FineTimerScope::Held() { return gHeldScopes.load(); }

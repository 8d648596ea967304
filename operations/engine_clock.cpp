#include "operations/engine_clock.h"

#include <thread>

namespace {

std::atomic<CVirtualEngineClock*>& InstalledClock() {
  static std::atomic<CVirtualEngineClock*> clock{nullptr};
  return clock;
}

}  // namespace

EngineClock::time_point EngineNow() {
  const CVirtualEngineClock* clock = InstalledClock().load();
  return clock != nullptr ? clock->Now() : EngineClock::now();
}

void EngineSleep(uint32_t milliseconds) {
  CVirtualEngineClock* clock = InstalledClock().load();
  if (clock != nullptr) {
    clock->Advance(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

CVirtualEngineClock* VirtualEngineClock() { return InstalledClock().load(); }

void SetVirtualEngineClock(CVirtualEngineClock* clock) { InstalledClock().store(clock); }

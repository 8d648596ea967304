#include "platform/thread_start.h"

#include <atomic>
#include <new>
#include <system_error>

namespace {

std::atomic<bool> g_startsFail{false};

}  // namespace

bool PlatformStartThread(std::thread* thread, std::function<void()> body) {
  if (g_startsFail.load()) return false;
  try {
    *thread = std::thread(std::move(body));
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void PlatformSetThreadStartsFail(bool fail) { g_startsFail.store(fail); }

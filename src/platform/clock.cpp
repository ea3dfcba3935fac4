#include "velqo/platform/clock.hpp"

#include <memory>
#include <mutex>

namespace velqo::platform {
namespace {

using ClockFn = std::function<WallClock::time_point()>;

std::mutex& clockMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const ClockFn>& clockSlot() {
  static std::shared_ptr<const ClockFn> slot;
  return slot;
}

}  // namespace

WallClock::time_point now() {
  std::shared_ptr<const ClockFn> clock;
  {
    std::lock_guard lock(clockMutex());
    clock = clockSlot();
  }
  return clock ? (*clock)() : WallClock::now();
}

double nowSecondsSince1970() {
  using namespace std::chrono;
  return duration<double>(now().time_since_epoch()).count();
}

void setClockOverride(ClockFn clock) {
  std::shared_ptr<const ClockFn> next = clock ? std::make_shared<const ClockFn>(std::move(clock)) : nullptr;
  std::lock_guard lock(clockMutex());
  clockSlot() = std::move(next);
}

}  // namespace velqo::platform

// Time as a connection sees it.
//
// The protocol core reads the time only through a TRdaClock and hands its timers out
// as deadlines (TRdaClientCore::NextDeadline); whoever runs the core arms one platform
// timer for the next deadline and calls ProcessDeadlines when it passes. The
// connection runs on the steady clock; tests run the core on a TRdaManualClock and
// move it by hand, so that a 60-second limit is checked to the millisecond without
// waiting for it.
#pragma once

#include <chrono>

namespace rda {

class TRdaClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~TRdaClock() = default;
  virtual TimePoint Now() const = 0;
};

// The steady clock of the process (never goes back, unaffected by the wall clock).
class TRdaSteadyClock final : public TRdaClock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
};

// A clock that stands still until it is moved.
class TRdaManualClock final : public TRdaClock {
 public:
  TimePoint Now() const override { return now_; }
  void Advance(std::chrono::milliseconds by) { now_ += by; }

 private:
  TimePoint now_{std::chrono::hours(1)};
};

}  // namespace rda

// Failed logins slow down per address: from the second failure in a row, the
// refusal is answered only after a delay that doubles with each further
// failure, up to kMaxDelay; a verified login from the address ends it. The
// delay holds back only the connection that failed (its own thread waits),
// never another client's, and no account is ever locked: a client that knows
// its password gets in as soon as its own refusal has been answered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace rda {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstDelay{250};
  static constexpr std::chrono::milliseconds kMaxDelay{8000};
  // An address with no failure for this long starts afresh.
  static constexpr std::chrono::minutes kForget{15};
  // Addresses remembered at most (the oldest are forgotten first).
  static constexpr size_t kMaxAddresses = 10000;

  // The address part of a peer name "HOST:PORT" or "[V6]:PORT" / "V6:PORT".
  static std::string Address(const std::string& peer);

  // Counts a failed login from address; returns the delay its refusal waits
  // and how many failures in a row the address has made.
  std::chrono::milliseconds Failed(const std::string& address, int* failures = nullptr);
  // A verified login from address: its failures are forgotten.
  void Succeeded(const std::string& address);
  // The delay for the nth failure in a row.
  static std::chrono::milliseconds DelayFor(int failures);

  // Waits for delay or until Stop, holding no lock shared with other
  // sessions meanwhile. False when stopped.
  bool Pause(std::chrono::milliseconds delay);
  // Wakes every Pause; later ones return at once.
  void Stop();

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::mutex pauseMutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
};

}  // namespace rda

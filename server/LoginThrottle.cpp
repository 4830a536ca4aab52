#include "server/LoginThrottle.h"

#include <algorithm>

namespace rda {

std::string LoginThrottle::Address(const std::string& peer) {
  const size_t colon = peer.rfind(':');
  if (colon == std::string::npos) return peer;
  std::string host = peer.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

std::chrono::milliseconds LoginThrottle::DelayFor(int failures) {
  if (failures < 2) return std::chrono::milliseconds(0);
  const int doublings = std::min(failures - 2, 16);
  return std::min(kFirstDelay * (1 << doublings), kMaxDelay);
}

std::chrono::milliseconds LoginThrottle::Failed(const std::string& address, int* failures) {
  const Clock::time_point now = Clock::now();
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(address);
    if (it != entries_.end() && now - it->second.last > kForget) it->second.failures = 0;
    if (it == entries_.end()) {
      if (entries_.size() >= kMaxAddresses) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
          return a.second.last < b.second.last;
        });
        entries_.erase(oldest);
      }
      it = entries_.emplace(address, Entry{}).first;
    }
    it->second.failures = std::min(it->second.failures + 1, 1000);
    it->second.last = now;
    count = it->second.failures;
  }
  if (failures) *failures = count;
  return DelayFor(count);
}

void LoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(address);
}

bool LoginThrottle::Pause(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(pauseMutex_);
  // wait_for releases the mutex while it waits.
  return !wake_.wait_for(lock, delay, [this] { return stopped_; });
}

void LoginThrottle::Stop() {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    stopped_ = true;
  }
  wake_.notify_all();
}

}  // namespace rda

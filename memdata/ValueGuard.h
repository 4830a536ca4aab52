// ValueGuard: sets a variable for a scope and puts the old value back, also
// when an exception leaves the scope. The engine's flags (scratch mode,
// scroll events, the cursor of a lookup) are set this way.
#pragma once

namespace rda {

template <typename T>
class ValueGuard {
 public:
  ValueGuard(T& ref, T value) : ref_(ref), saved_(ref) { ref_ = value; }
  ~ValueGuard() { ref_ = saved_; }
  ValueGuard(const ValueGuard&) = delete;
  ValueGuard& operator=(const ValueGuard&) = delete;

 private:
  T& ref_;
  T saved_;
};

}  // namespace rda

// TScopeGuard: runs an action when the scope it lives in ends, whether the
// scope ends normally or by an exception. For the clean-ups that have no
// owner object of their own: a flag put back, a counter lowered, a C
// library's stream ended.
//
//   busy_ = true;
//   TScopeGuard notBusy([this] { busy_ = false; });
//
// The action runs once, in the guard's destructor, unless Dismiss() was
// called. It must not throw (the destructor may run while an exception is
// on its way; a throwing action ends the program). A guard can be neither
// copied nor moved, so it runs exactly where it was declared.
#pragma once

#include <utility>

namespace rda {

template <typename F>
class TScopeGuard {
 public:
  explicit TScopeGuard(F action) : action_(std::move(action)) {}
  ~TScopeGuard() {
    if (armed_) action_();
  }
  TScopeGuard(const TScopeGuard&) = delete;
  TScopeGuard& operator=(const TScopeGuard&) = delete;

  // The action will not run (the work it would undo is to stay).
  void Dismiss() { armed_ = false; }

 private:
  F action_;
  bool armed_ = true;
};

}  // namespace rda

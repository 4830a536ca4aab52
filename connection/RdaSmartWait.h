// TRdaSmartWait: a wait that keeps the application's event loop running.
//
// Wait() runs a nested QEventLoop that processes every event except user input
// (QEventLoop::ExcludeUserInputEvents: keystrokes and mouse clicks are held until the
// wait ends), so socket events, timers and repaints go on while a caller waits for a
// reply. Stop() ends the wait at once: it quits the nested loop, which wakes it from
// its sleep; nothing polls.
//
// Waits do not nest: Wait() while a wait runs returns at once. After Stop() a new wait
// may start even before the stopped loop has unwound (a handler running inside the old
// loop may wait again); the old loop then ends as soon as that handler returns.
//
// A quit of the application (QCoreApplication::quit/exit) also ends the wait.
// Single-threaded: use it on the thread that owns the event loop.
#pragma once

#include <cstdint>
#include <functional>

#include "connection/RdaUserInterface.h"

class QEventLoop;

namespace rda {

class TRdaSmartWait {
 public:
  // How a wait ended.
  enum TWaitEnd { weStopped, weTimeLimit, weQuit, weAlreadyWaiting };

  TRdaSmartWait() = default;
  TRdaSmartWait(const TRdaSmartWait&) = delete;
  TRdaSmartWait& operator=(const TRdaSmartWait&) = delete;
  ~TRdaSmartWait();

  // The cursor shown during a wait (through the user interface, when one is set).
  TWaitingCursor WaitingCursor() const { return waitingCursor_; }
  void SetWaitingCursor(TWaitingCursor value) { waitingCursor_ = value; }
  // Milliseconds after which a wait gives up by itself; 0 = no limit.
  uint32_t TimeLimit() const { return timeLimit_; }
  void SetTimeLimit(uint32_t ms) { timeLimit_ = ms; }
  // Kept for the settings it was stored with; user input is always held back.
  bool KillKeyboardInput() const { return killKeyboardInput_; }
  void SetKillKeyboardInput(bool value) { killKeyboardInput_ = value; }
  // Kept and copied with a connection. Calls that worker threads queue for this
  // thread are Qt queued events, which the wait's loop runs in any case.
  bool RunSynchronize() const { return runSynchronize_; }
  void SetRunSynchronize(bool value) { runSynchronize_ = value; }
  // Shows the wait cursor; not owned, may be null.
  void SetUserInterface(TRdaUserInterface* ui) { ui_ = ui; }

  // Runs until Stop(), the time limit or an application quit; see the top of file.
  TWaitEnd Wait();
  // Ends the running wait (if any) at once.
  void Stop();
  bool Waiting() const { return waiting_; }

  // Fired once at the start and once at the end of every wait that runs.
  std::function<void()> OnStartOfWait;
  std::function<void()> OnEndOfWait;
  // Never fired; kept with the other events.
  std::function<void()> OnWaitTick;

 private:
  TWaitingCursor waitingCursor_ = cqNoChange;
  uint32_t timeLimit_ = 0;
  bool killKeyboardInput_ = true;
  bool runSynchronize_ = true;
  TRdaUserInterface* ui_ = nullptr;
  bool waiting_ = false;
  QEventLoop* loop_ = nullptr;  // the loop of the running wait
};

}  // namespace rda

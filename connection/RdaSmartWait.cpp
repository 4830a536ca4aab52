#include "connection/RdaSmartWait.h"

#include <QEventLoop>
#include <QTimer>

#include "base/ScopeGuard.h"

namespace rda {

TRdaSmartWait::~TRdaSmartWait() { Stop(); }

TRdaSmartWait::TWaitEnd TRdaSmartWait::Wait() {
  if (waiting_) return weAlreadyWaiting;

  QEventLoop loop;
  bool timedOut = false;
  QTimer limit;
  if (timeLimit_ != 0) {
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [this, &timedOut] {
      timedOut = true;
      Stop();
    });
    limit.start(static_cast<int>(std::min<uint32_t>(timeLimit_, INT32_MAX)));
  }

  const bool showCursor = waitingCursor_ != cqNoChange && ui_ != nullptr;
  if (showCursor) ui_->SetWaitCursor(waitingCursor_);

  // Whatever ends the wait, also an exception from a handler, the loop pointer and
  // the cursor go back to what they were.
  QEventLoop* const outer = loop_;
  TScopeGuard restore([this, outer, showCursor] {
    loop_ = outer;
    if (showCursor) ui_->RestoreCursor();
  });

  if (OnStartOfWait) OnStartOfWait();
  loop_ = &loop;
  waiting_ = true;
  TWaitEnd end = weStopped;
  while (waiting_) {
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // exec returns without Stop() only when the application quits.
    if (waiting_) {
      end = weQuit;
      break;
    }
  }
  if (timedOut) end = weTimeLimit;
  waiting_ = false;
  if (OnEndOfWait) OnEndOfWait();
  return end;
}

void TRdaSmartWait::Stop() {
  waiting_ = false;
  if (loop_ != nullptr) loop_->quit();
}

}  // namespace rda

// TRdaSmartWait: a stop wakes the wait at once, waits do not nest, handlers that run
// the event loop themselves make nothing fire twice.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include "ConnectionTestSupport.h"
#include "connection/RdaSmartWait.h"

namespace rda {
namespace {

class CursorUI : public test::RecordingUI {
 public:
  void SetWaitCursor(TWaitingCursor c) override { cursors.push_back(c); }
  void RestoreCursor() override { ++restored; }
  std::vector<TWaitingCursor> cursors;
  int restored = 0;
};

struct Counts {
  int starts = 0;
  int ends = 0;
};

void Count(TRdaSmartWait& wait, Counts& c) {
  wait.OnStartOfWait = [&c] { ++c.starts; };
  wait.OnEndOfWait = [&c] { ++c.ends; };
}

TEST(SmartWait, StopWakesTheWaitAtOnce) {
  TRdaSmartWait wait;
  Counts c;
  Count(wait, c);
  CursorUI ui;
  wait.SetUserInterface(&ui);
  wait.SetWaitingCursor(cqSQLHourGlass);
  bool later = false;
  QTimer::singleShot(20, [&] {
    EXPECT_TRUE(wait.Waiting());
    // Posted before the stop: a wait that went on looking at its queue until some
    // next poll would run it; a stopped wait returns first.
    QTimer::singleShot(0, [&] { later = true; });
    wait.Stop();
  });
  EXPECT_EQ(wait.Wait(), TRdaSmartWait::weStopped);
  EXPECT_FALSE(later);
  EXPECT_FALSE(wait.Waiting());
  test::RunUntil([&] { return later; });
  EXPECT_EQ(c.starts, 1);
  EXPECT_EQ(c.ends, 1);
  EXPECT_EQ(ui.cursors, std::vector<TWaitingCursor>{cqSQLHourGlass});
  EXPECT_EQ(ui.restored, 1);
}

TEST(SmartWait, HandlersThatPumpEventsOrWaitAgainFireNothingTwice) {
  TRdaSmartWait wait;
  Counts c;
  Count(wait, c);
  int ticks = 0;
  int innerResult = -1;
  QTimer tick;
  tick.setSingleShot(true);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    ++ticks;
    // Re-entry: a wait inside the wait returns at once, and pumping the loop here
    // must not deliver this timer or the wait's events again.
    innerResult = wait.Wait();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    wait.Stop();
  });
  tick.start(10);
  EXPECT_EQ(wait.Wait(), TRdaSmartWait::weStopped);
  EXPECT_EQ(innerResult, TRdaSmartWait::weAlreadyWaiting);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(c.starts, 1);
  EXPECT_EQ(c.ends, 1);
}

TEST(SmartWait, AWaitStartedAfterAStopRunsInsideTheStoppedOne) {
  TRdaSmartWait wait;
  Counts c;
  Count(wait, c);
  std::vector<std::string> order;
  QTimer::singleShot(10, [&] {
    wait.Stop();
    order.push_back("inner start");
    QTimer::singleShot(10, [&] { wait.Stop(); });
    EXPECT_EQ(wait.Wait(), TRdaSmartWait::weStopped);
    order.push_back("inner end");
  });
  EXPECT_EQ(wait.Wait(), TRdaSmartWait::weStopped);
  order.push_back("outer end");
  EXPECT_EQ(order, (std::vector<std::string>{"inner start", "inner end", "outer end"}));
  EXPECT_EQ(c.starts, 2);
  EXPECT_EQ(c.ends, 2);
}

TEST(SmartWait, TimeLimitEndsTheWait) {
  TRdaSmartWait wait;
  wait.SetTimeLimit(30);
  EXPECT_EQ(wait.Wait(), TRdaSmartWait::weTimeLimit);
  EXPECT_FALSE(wait.Waiting());
}

}  // namespace
}  // namespace rda

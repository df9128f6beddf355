#include "platform/sync.h"

#include <gtest/gtest.h>

#include <thread>

namespace zarn::platform {
namespace {

TEST(ManualResetEvent, StaysSetUntilResetAndTimesOutOtherwise) {
  ManualResetEvent event;
  EXPECT_EQ(event.Wait(10), WaitResult::kTimedOut);
  event.Set();
  EXPECT_EQ(event.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(event.Wait(0), WaitResult::kSignalled);  // manual reset: still set
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WaitResult::kTimedOut);
}

TEST(ManualResetEvent, ReleasesAWaiterOnAnotherThread) {
  ManualResetEvent event;
  std::thread setter([&event] { event.Set(); });
  EXPECT_EQ(event.Wait(kWaitForever), WaitResult::kSignalled);
  setter.join();
}

}  // namespace
}  // namespace zarn::platform

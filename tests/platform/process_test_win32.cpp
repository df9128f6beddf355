// The devcon folder on Windows: the x86-64 build runs only on 64-bit Windows, where the 32-bit
// devcon cannot restart a device, so it must always pick x64.

#include <gtest/gtest.h>

#include "platform/process.h"

namespace zarn::platform {
namespace {

TEST(ProcessWin32, ASixtyFourBitBuildPicksTheSixtyFourBitDevcon) {
#ifdef _WIN64
  EXPECT_TRUE(RunsOn64BitWindows());
#else
  GTEST_SKIP() << "a 32-bit build asks IsWow64Process";
#endif
}

}  // namespace
}  // namespace zarn::platform

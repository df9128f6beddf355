#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <string>

#include "diag/traffic_log.h"
#include "log_test_support.h"

namespace zarn::testing {
namespace {

// Holds the process's file-size limit low for one test, so that writes past it fail the way
// they fail on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit low = saved_;
    low.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &low);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
};

using TrafficLogFullDiskTest = LogTest;

TEST_F(TrafficLogFullDiskTest, DropsLinesThatCannotBeWrittenAndGoesOn) {
  const std::string path = PathOf("_com3.log");
  const std::uint8_t bytes[40] = {};
  constexpr rlim_t kLimit = 100;
  TrafficLog log;
  {
    const FileSizeLimit limit(kLimit);
    log.Start(path.c_str());
    ASSERT_TRUE(log.IsRunning());
    for (int i = 0; i < 50; ++i) {
      log.Print("TX: Size = %4d\r\n", 40);
      log.Dump(bytes, 40);
    }
    EXPECT_TRUE(log.IsRunning());
    log.Stop();
    EXPECT_FALSE(log.IsRunning());
  }
  const std::string text = ReadWhole(path);
  EXPECT_EQ(text.size(), kLimit);
  EXPECT_EQ(text.substr(0, sizeof kStartBanner - 1), kStartBanner);

  // The next Start finds its file writable again.
  log.Start(path.c_str());
  log.Stop();
  EXPECT_EQ(ReadWhole(path), std::string(kStartBanner) + kStopBanner);
}

}  // namespace
}  // namespace zarn::testing

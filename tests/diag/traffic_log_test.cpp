#include "diag/traffic_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"

namespace zarn::testing {
namespace {

using TrafficLogTest = LogTest;

std::string Prefixed(const std::string& message) {
  return std::string(kTickText) + "  " + message;
}

TEST_F(TrafficLogTest, WritesBannersMessagesAndDumpsInTheirExactFormats) {
  std::uint8_t bytes[17];
  for (int i = 0; i < 17; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 15);
  const std::string path = PathOf("_com3.log");

  TrafficLog log;
  log.Start(path.c_str());
  EXPECT_TRUE(log.IsRunning());
  log.Print("TX: Size = %4d\r\n", 17);
  log.Dump(bytes, 17);
  log.Print("RX: Error = 0x%08X Size = %4d\r\n", 0x80100001u, 3);
  log.Dump(bytes, 0);
  log.Print("DeviceName = (%s)\n", "dev0");
  log.Stop();
  EXPECT_FALSE(log.IsRunning());

  EXPECT_EQ(ReadWhole(path), std::string(kStartBanner) +
                                 "2.007  TX: Size =   17\r\n"
                                 "00 0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1 \r\n"
                                 "F0 \r\n"
                                 "2.007  RX: Error = 0x80100001 Size =    3\r\n"
                                 "\r\n"
                                 "2.007  DeviceName = (dev0)\n" +
                                 kStopBanner);
}

TEST_F(TrafficLogTest, CutsAnExpandedLineAt1023Characters) {
  const std::size_t prefixLength = Prefixed("").size();
  for (const std::size_t lineLength : {1022u, 1023u, 1024u, 5000u}) {
    SCOPED_TRACE(lineLength);
    const std::string message(lineLength - prefixLength, 'x');
    const std::string path = PathOf("_USB0.log");
    TrafficLog log;
    log.Start(path.c_str());
    log.Print("%s", message.c_str());
    log.Stop();
    const std::string expected = Prefixed(message).substr(0, TrafficLog::kMaxLineLength);
    EXPECT_EQ(ReadWhole(path), kStartBanner + expected + kStopBanner);
  }
}

TEST_F(TrafficLogTest, StartTruncatesAnExistingFileAndClosesARunningLogFirst) {
  const std::string first = PathOf("first.log");
  const std::string second = PathOf("second.log");
  {
    TrafficLog old;
    old.Start(first.c_str());
    for (int i = 0; i < 100; ++i)
      old.Print("old line %d\r\n", i);
    old.Stop();
  }

  TrafficLog log;
  log.Start(first.c_str());
  EXPECT_EQ(ReadWhole(first), kStartBanner);
  log.Start(second.c_str());
  EXPECT_EQ(ReadWhole(first), std::string(kStartBanner) + kStopBanner);
  log.Print("new\r\n");
  log.Stop();
  EXPECT_EQ(ReadWhole(second), kStartBanner + Prefixed("new\r\n") + kStopBanner);
}

TEST_F(TrafficLogTest, WritesNothingWhileNotRunning) {
  const std::uint8_t bytes[3] = {1, 2, 3};
  TrafficLog neverStarted;
  neverStarted.Print("TX: Size = %4d\r\n", 3);
  neverStarted.Dump(bytes, 3);
  neverStarted.Stop();
  EXPECT_EQ(EntryCount(), 0u);

  const std::string path = PathOf("_eth_reader.log");
  TrafficLog stopped;
  stopped.Start(path.c_str());
  stopped.Stop();
  stopped.Print("TX: Size = %4d\r\n", 3);
  stopped.Dump(bytes, 3);
  stopped.Dump(bytes, 0);
  stopped.Stop();
  EXPECT_EQ(ReadWhole(path), std::string(kStartBanner) + kStopBanner);
}

// A log whose file cannot be made stays silent: nothing is created, every call returns.
TEST_F(TrafficLogTest, StaysSilentWhenItsFileCannotBeCreated) {
  const std::string missingFolder = PathOf("no-such-folder/_com3.log");
  const std::string folderItself = folder.string();
  const std::uint8_t bytes[20] = {};
  const char* const names[] = {missingFolder.c_str(), folderItself.c_str(), "", nullptr};
  for (const char* name : names) {
    SCOPED_TRACE(name == nullptr ? "(null)" : name);
    TrafficLog log;
    log.Start(name);
    EXPECT_FALSE(log.IsRunning());
    log.Print("TX: Size = %4d\r\n", 20);
    log.Dump(bytes, 20);
    log.Stop();
    EXPECT_FALSE(log.IsRunning());
    EXPECT_EQ(EntryCount(), 0u);
  }
}

// The serial log is written by the worker and the caller at once; each line must land whole.
TEST_F(TrafficLogTest, KeepsEveryLineWholeWhenTwoThreadsWriteAtOnce) {
  constexpr int kRounds = 400;
  const std::string path = PathOf("_com1.log");
  TrafficLog log;
  log.Start(path.c_str());

  const std::vector<std::uint8_t> transmitted(16, 0xAA);
  const std::vector<std::uint8_t> received(17, 0x55);
  std::thread worker([&] {
    for (int i = 0; i < kRounds; ++i) {
      log.Print("RX: Size = %4d   %3d\r\n", 17, i % 1000);
      log.Dump(received.data(), 17);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    log.Print("TX: Size = %4d\r\n", i);
    log.Dump(transmitted.data(), 16);
  }
  worker.join();
  log.Stop();

  std::vector<std::string> expected = {std::string(kStartBanner), std::string(kStopBanner)};
  std::string aaLine, fullLine;
  for (int b = 0; b < 16; ++b)
    aaLine += "AA ", fullLine += "55 ";
  for (int i = 0; i < kRounds; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%4d", i);
    expected.push_back(Prefixed(std::string("TX: Size = ") + number + "\r\n"));
    expected.push_back(aaLine + "\r\n");
    std::snprintf(number, sizeof number, "%3d", i % 1000);
    expected.push_back(Prefixed(std::string("RX: Size =   17   ") + number + "\r\n"));
    expected.push_back(fullLine + "\r\n");
    expected.push_back("55 \r\n");
  }

  std::vector<std::string> lines;
  const std::string text = ReadWhole(path);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find("\r\n", start);
    const std::size_t next = end == std::string::npos ? text.size() : end + 2;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  std::sort(expected.begin(), expected.end());
  std::sort(lines.begin(), lines.end());
  EXPECT_TRUE(lines == expected) << "the file holds torn, lost or extra lines";
  EXPECT_EQ(text.substr(0, sizeof kStartBanner - 1), kStartBanner);
}

}  // namespace
}  // namespace zarn::testing

#pragma once
// What the traffic-log tests share: a fresh folder per test, a clock that stands still at a
// known tick and time of day, and the whole text of a log file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace zarn::testing {

// The tick 2.007 s and the local time 09:05:03.
constexpr char kTickText[] = "2.007";
constexpr char kStartBanner[] = "2.007 ---------- Log started 09:05:03 ----------\r\n";
constexpr char kStopBanner[] = "2.007 ---------- Log stopped 09:05:03 ----------\r\n";

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path inside this test's own folder.
  std::string PathOf(const char* name) const;
  static std::string ReadWhole(const std::string& path);
  // The names in this test's folder.
  std::size_t EntryCount() const;

  std::filesystem::path folder;
};

}  // namespace zarn::testing

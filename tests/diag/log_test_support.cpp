#include "log_test_support.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "platform/clock.h"

namespace zarn::testing {
namespace {

void NoSleep(std::uint32_t /*milliseconds*/) {}
std::uint32_t FixedTick() {
  return 2007;
}
platform::TimeOfDay FixedTime() {
  return {9, 5, 3};
}
const platform::ClockDevice fixedClock{NoSleep, FixedTick, FixedTime};

}  // namespace

void LogTest::SetUp() {
  platform::InstallClock(&fixedClock);
  std::random_device random;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::ostringstream name;
  name << "zarn-diag-" << info->name() << '-' << std::hex << random();
  std::string safe = name.str();
  for (char& c : safe) {
    if (c == '/') c = '_';
  }
  folder = std::filesystem::temp_directory_path() / safe;
  std::filesystem::create_directories(folder);
}

void LogTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  platform::InstallClock(nullptr);
}

std::string LogTest::PathOf(const char* name) const {
  return (folder / name).string();
}

std::string LogTest::ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::size_t LogTest::EntryCount() const {
  const std::filesystem::directory_iterator entries(folder);
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

}  // namespace zarn::testing

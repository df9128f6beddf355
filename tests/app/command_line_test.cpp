// The command line: what each argument does to the session, and what a refused one prints.

#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run_flow.h"
#include "tests/support/fake_clock.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

const std::string kBanner = "09:05:03 Zarn Reader Upgrade\n";
const std::string kPrompt = "Press <Enter> ...";
const std::string kUsage =
    "Syntax:   Filename.exe COMx [Operational_Baudrate [Address [Upgrade_Baudrate "
    "[Char_Timeout]]]]\n"
    "          (default Operational_Baudrate = 9600 bod)\n"
    "          (Address from 0 to 255; default 0)\n"
    "          (default Upgrade_Baudrate = Operational_Baudrate)\n"
    "          (Char_Timeout from 4 to 254)\n"
    "Examples: Filename.exe  COM1\n"
    "          Filename.exe  COM14 115200\n"
    "          Filename.exe  COM5 9600 17\n"
    "          Filename.exe  COM6 9600 0 115200 80\n";

std::vector<const char*> Argv(const std::vector<const char*>& args) {
  std::vector<const char*> argv{"zarn-upgrade"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

struct Refusal {
  std::vector<const char*> args;
  std::string printed;  // between the banner and the prompt
  std::uint32_t result;
};

// Refused command lines end before any port is touched, so the whole run can be compared.
TEST(CommandLine, RefusedArgumentsPrintTheirMessagesAndEndTheRun) {
  const Refusal cases[] = {
      {{"com1"}, kUsage, 1},
      {{"LPT1", "9600"}, kUsage, 1},
      {{"COM"}, "Port COM can't be opened\n", 2},
      {{"COMx"}, "Port COMx can't be opened\n", 2},
      {{"COM0"}, "Port COM0 can't be opened\n", 2},
      {{"COM-3"}, "Port COM-3 can't be opened\n", 2},
      {{"COM1", "9600", "0", "9600", "3"}, "Char_Timeout is invalid\n", 3},
      {{"COM1", "9600", "0", "9600", "0"}, "Char_Timeout is invalid\n", 3},
      {{"COM1", "9600", "0", "9600", "255"}, "Char_Timeout is invalid\n", 3},
      {{"com1", "9600", "0", "9600", "3"}, kUsage + "Char_Timeout is invalid\n", 3},
      {{"COM", "9600", "0", "9600", "1"}, "Port COM can't be opened\nChar_Timeout is invalid\n", 3},
      {{"COM1", "0"}, "Operational_Baudrate is invalid\n", 4},
      {{"COM1", "fast"}, "Operational_Baudrate is invalid\n", 4},
      {{"COM1", "9600", "0", "0"}, "Upgrade_Baudrate is invalid\n", 4},
      {{"COM1", "9600", "bus"}, "Address is invalid\n", 5},
      {{"COM1", "4800"},
       "Operational_Baudrate 4800 is out of the reader's range 5860..1500000\n",
       6},
      {{"COM1", "9600", "0", "3000000"},
       "Upgrade_Baudrate 3000000 is out of the reader's range 5860..1500000\n",
       6},
      {{"COM1", "x", "y", "z", "w"},
       "Operational_Baudrate is invalid\nAddress is invalid\nUpgrade_Baudrate is invalid\n"
       "Char_Timeout is invalid\n",
       3},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.printed);
    test::FakeClock clock;
    test::ScriptedConsole console("\n");
    const auto argv = Argv(c.args);
    EXPECT_EQ(RunTool(static_cast<int>(argv.size()), argv.data()), c.result);
    EXPECT_EQ(console.Output(), kBanner + c.printed + kPrompt);
    EXPECT_FALSE(console.InputLeft());  // the final Enter was read
  }
}

struct Accepted {
  std::vector<const char*> args;
  int port;
  std::uint32_t operational;
  std::uint32_t upgrade;
  std::uint8_t address;
  std::uint8_t charTimeout;
};

TEST(CommandLine, AcceptedArgumentsFillTheSession) {
  const Accepted cases[] = {
      {{"COM1"}, 1, 9600, 9600, 0, 0},
      {{"COM14", "115200"}, 14, 115200, 115200, 0, 0},
      {{"COM5", "9600", "17"}, 5, 9600, 9600, 17, 0},
      {{"COM6", "9600", "0", "115200", "80"}, 6, 9600, 115200, 0, 80},
      {{"COM2", "9600", "300"}, 2, 9600, 9600, 44, 0},
      {{"COM2", "9600", "-1"}, 2, 9600, 9600, 255, 0},
      {{"COM3", "19200", "1", "57600", "4"}, 3, 19200, 57600, 1, 4},
      {{"COM3", "19200", "1", "57600", "254"}, 3, 19200, 57600, 1, 254},
      {{"COM4", "5860", "0", "1500000"}, 4, 5860, 1500000, 0, 0},
      {{"COM3", "19200", "1", "57600", "260"}, 3, 19200, 57600, 1, 4},
      {{"COM7", "9600", "0", "9600", "80", "extra", "more"}, 7, 9600, 9600, 0, 80},
      {{"COM12abc"}, 12, 9600, 9600, 0, 0},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.args.front());
    test::ScriptedConsole console;
    UpgradeSession parsed;
    const auto argv = Argv(c.args);
    EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed), 0u);
    EXPECT_EQ(parsed.portNumber, c.port);
    EXPECT_EQ(parsed.Operational_Baudrate, c.operational);
    EXPECT_EQ(parsed.Upgrade_Baudrate, c.upgrade);
    EXPECT_EQ(parsed.busAddress, c.address);
    EXPECT_EQ(parsed.Char_Timeout, c.charTimeout);
    EXPECT_EQ(console.Output(), "");
  }
}

TEST(CommandLine, NoArgumentMeansUsbAndPrintsNothing) {
  test::ScriptedConsole console;
  UpgradeSession parsed;
  const auto argv = Argv({});
  EXPECT_EQ(ParseCommandLine(1, argv.data(), parsed), 0u);
  EXPECT_EQ(parsed.portNumber, 0);
  EXPECT_EQ(console.Output(), "");
}

TEST(CommandLine, HugeNumbersAreReadWithoutOverflow) {
  test::ScriptedConsole console;
  UpgradeSession parsed;
  const auto argv = Argv({"COM99999999999999999999", "99999999999999999999"});
  EXPECT_EQ(ParseCommandLine(3, argv.data(), parsed), 4u);
  EXPECT_EQ(parsed.portNumber, 0);
  EXPECT_EQ(console.Output(),
            "Port COM99999999999999999999 can't be opened\nOperational_Baudrate is invalid\n");
}

}  // namespace
}  // namespace zarn

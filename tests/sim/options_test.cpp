#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.h"

namespace zarn::sim {
namespace {

ParseOutcome Parse(std::vector<std::string> arguments, SimConfig& config, std::string& error) {
  std::vector<const char*> argv{"zarn-reader-sim"};
  for (const std::string& argument : arguments)
    argv.push_back(argument.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), config, error);
}

TEST(SimOptions, ReadsIdentityFrontsAndScenarios) {
  SimConfig config;
  std::string error;
  ASSERT_EQ(Parse({"--link",
                   "/tmp/x",
                   "--address=17",
                   "--pace",
                   "--mcu",
                   "LPC11U68JBD100",
                   "--serial",
                   "7C2FDEED",
                   "--version",
                   "05:42:02:01:00:01",
                   "--baud",
                   "115200",
                   "--parity",
                   "E",
                   "--stop-bits",
                   "2",
                   "--restart-time",
                   "0.25",
                   "--slow-restart",
                   "2:never",
                   "--slow-restart",
                   "1:12",
                   "--late",
                   "4:300",
                   "--fail-block",
                   "11",
                   "--fail-block",
                   "12:7",
                   "--drop-answer",
                   "3",
                   "--drop-answer",
                   "3",
                   "--mcu-answer-length",
                   "8",
                   "--new-serial",
                   "1",
                   "--start-in-loader",
                   "--stay-in-loader"},
                  config, error),
            ParseOutcome::kRun)
      << error;
  EXPECT_EQ(config.linkPath, "/tmp/x");
  EXPECT_EQ(config.address, 17);
  EXPECT_TRUE(config.pace);
  EXPECT_EQ(config.identity.partId, 0x00007C00u);
  EXPECT_EQ(config.identity.serialNumber, 0x7C2FDEEDu);
  EXPECT_EQ(config.identity.version, (VersionBytes{0x05, 0x42, 0x02, 0x01, 0x00, 0x01}));
  EXPECT_EQ(config.line.operationalBaud, 115200u);
  EXPECT_EQ(config.line.parity, 'E');
  EXPECT_EQ(config.line.stopBits, 2);
  EXPECT_EQ(config.restart.durationMs, 250u);
  EXPECT_EQ(config.restart.byNumber.at(1), 12000u);
  EXPECT_FALSE(config.restart.byNumber.at(2).has_value());
  EXPECT_EQ(config.faults.lateMs.at(4), 300u);
  EXPECT_EQ(config.behaviour.blockStatus.at(11), 0x85);
  EXPECT_EQ(config.behaviour.blockStatus.at(12), 0x07);
  EXPECT_EQ(config.faults.drop.size(), 1u);
  EXPECT_EQ(config.behaviour.mcuAnswerLength, 8u);
  EXPECT_EQ(config.identity.serialAfterUpgrade, 1u);
  EXPECT_TRUE(config.behaviour.startInLoader && config.behaviour.stayInLoader);
  EXPECT_FALSE(config.usb);
}

TEST(SimOptions, UsbRootFromTheEnvironmentUnlessGiven) {
  setenv("ZARN_DEVICE_INTERFACES", "/tmp/zarn-elsewhere", 1);
  SimConfig fromEnvironment;
  SimConfig given;
  std::string error;
  ASSERT_EQ(Parse({"--usb"}, fromEnvironment, error), ParseOutcome::kRun);
  ASSERT_EQ(Parse({"--usb-root", "/tmp/r"}, given, error), ParseOutcome::kRun);
  unsetenv("ZARN_DEVICE_INTERFACES");
  SimConfig byDefault;
  ASSERT_EQ(Parse({"--usb"}, byDefault, error), ParseOutcome::kRun);
  EXPECT_EQ(fromEnvironment.usbRoot, "/tmp/zarn-elsewhere");
  EXPECT_EQ(given.usbRoot, "/tmp/r");
  EXPECT_TRUE(given.usb);
  EXPECT_EQ(byDefault.usbRoot, "/run/zarn/device-interfaces");
}

TEST(SimOptions, RefusesBadCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},                             // no front
      {"--transcript", "/tmp/t"},     // still no front
      {"--usb", "--bogus"},           // unknown option
      {"--usb", "--address"},         // value missing
      {"--usb", "--address", "256"},  // out of range
      {"--usb", "--parity", "X"},
      {"--usb", "--stop-bits", "3"},
      {"--usb", "--version", "05,43,02,01,00,00"},  // run-mode byte 0
      {"--usb", "--version", "05,43,02,01,00"},     // five bytes
      {"--usb", "--serial", "123456789"},           // more than 32 bits
      {"--usb", "--mcu", "LPC9999"},
      {"--usb", "--drop-answer", "0"},   // requests count from 1
      {"--usb", "--late", "3"},          // N:MS
      {"--usb", "--fail-block", "2:0"},  // status 0 is success
      {"--usb", "--slow-restart", "1:soon"},
      {"--usb", "--mcu-answer-length", "7"},
      {"--usb", "--restart-time", "-1"},
      {"--usb", "--baud", "0"},
      {"--usb", "--usb-name", "a/b"},
  };
  for (const auto& arguments : cases) {
    SimConfig config;
    std::string error;
    EXPECT_EQ(Parse(arguments, config, error), ParseOutcome::kError)
        << (arguments.empty() ? "(none)" : arguments.back());
    EXPECT_FALSE(error.empty());
  }
}

TEST(SimOptions, HelpNamesEveryScenario) {
  SimConfig config;
  std::string error;
  EXPECT_EQ(Parse({"--usb", "--help"}, config, error), ParseOutcome::kHelp);
  const std::string help = HelpText();
  for (const char* name :
       {"--drop-answer", "--corrupt-check", "--wrong-sequence", "--wrong-address", "--fail-block",
        "--late", "--parity", "--stop-bits", "--slow-restart", "--stay-in-loader", "--new-serial",
        "FFFFFFFF", "7C2FDEED", "--start-in-loader", "byte 2 = 42", "--mcu-answer-length",
        "--transcript", "--pace", "--address"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace zarn::sim

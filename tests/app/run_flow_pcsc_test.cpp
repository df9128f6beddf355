// The run flow in USB mode through a scripted PC/SC reader: the interface line, the reader's
// identity, the close-down.

#include <gtest/gtest.h>

#include <string>

#include "app/run_flow.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "tests/support/environment.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

using test::Bytes;

const std::string kBanner = "09:05:03 Zarn Reader Upgrade\n";

// A reader that knows the serial-number and version requests and refuses everything else.
Bytes ReaderAnswer(const Bytes& request, std::uint8_t serialStatus) {
  const std::uint8_t command = request.size() > 5 ? request[5] : 0;
  if (command == 0x22) return test::WithStatusWord({serialStatus, 0x11, 0x22, 0x33, 0x44});
  if (command == 0x64) return test::WithStatusWord({0x00, 0x01, 0x43, 0x10, 0x00, 0x80, 0x01});
  return test::WithStatusWord({0x7F});
}

class RunFlowOverPcsc : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    test::SetEnvironment("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-interfaces");
  }
  void TearDown() override { test::ResetLinkState(); }

  std::uint32_t Run() {
    const char* argv[] = {"zarn-upgrade"};
    return RunTool(1, argv);
  }

  test::FakeClock clock;
  test::ScriptedConsole console{"\n"};
  test::FakePcsc pcsc;
};

TEST_F(RunFlowOverPcsc, PrintsTheReadersIdentityAndClosesTheConnection) {
  pcsc.answer = [](const Bytes& request) { return ReaderAnswer(request, 0x00); };
  EXPECT_EQ(Run(), SCARD_F_INTERNAL_ERROR);  // it refuses to name its microcontroller
  EXPECT_EQ(console.Output(), kBanner +
                                  "Interface USB is opened successfully\n"
                                  "Serial Number 44 33 22 11 \n"
                                  "Old Version   01 43 10 00 80 01 \n"
                                  "MCU Type  unsupported\n"
                                  "Press <Enter> ...");
  EXPECT_EQ(pcsc.disconnects, 1);
  EXPECT_EQ(pcsc.releases, 1);
  EXPECT_EQ(smartCardReader.connected, 0);
}

TEST_F(RunFlowOverPcsc, ASecondOpenAttemptFollowsAFailedFirst) {
  pcsc.connectFailuresLeft = 1;
  pcsc.answer = [](const Bytes& request) { return ReaderAnswer(request, 0x00); };
  Run();
  EXPECT_EQ(pcsc.connectedNames.size(), 2u);
  EXPECT_NE(console.Output().find("Interface USB is opened successfully\n"), std::string::npos);
}

TEST_F(RunFlowOverPcsc, AReaderErrorOverPcscIsReportedOnlyWhereItHappened) {
  // No engine link is open in PC/SC mode, so the close-down prints no error lines.
  pcsc.answer = [](const Bytes& request) { return ReaderAnswer(request, 0x05); };
  EXPECT_EQ(Run(), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(console.Output(), kBanner + "Interface USB is opened successfully\nPress <Enter> ...");
}

TEST_F(RunFlowOverPcsc, NoReaderAnywhereEndsAfterTheInterfaceLine) {
  pcsc.establishResult = 0x8010001D;     // no PC/SC service
  EXPECT_EQ(Run(), SCARD_F_COMM_ERROR);  // the USB channel found nothing either
  EXPECT_EQ(console.Output(), kBanner + "Interface USB is not opened\nPress <Enter> ...");
}

}  // namespace
}  // namespace zarn

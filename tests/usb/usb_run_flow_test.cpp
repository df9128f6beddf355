// The tool started without arguments on a machine with no PC/SC service: it falls back to the
// reader's own USB driver and reads the reader's identity through it.

#include <gtest/gtest.h>

#include <string>

#include "app/run_flow.h"
#include "link/result_codes.h"
#include "tests/support/environment.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/scripted_console.h"
#include "tests/usb/fake_usb_driver.h"

namespace zarn {
namespace {

using test::Bytes;
using test::UsbReply;
using test::UsbRequest;

constexpr std::uint32_t kSetup = 0x8000202C;

// A reader that knows the serial-number and version requests, with the given status on the
// serial-number answer.
UsbReply ReaderAnswer(const UsbRequest& request, std::uint8_t serialStatus) {
  if (request.controlCode == kSetup) return UsbReply{};
  const std::uint8_t command = request.input.empty() ? 0 : request.input[0];
  if (command == 0x22) return UsbReply::Answer({serialStatus, 0x11, 0x22, 0x33, 0x44});
  if (command == 0x64) return UsbReply::Answer({0x00, 0x01, 0x43, 0x10, 0x00, 0x80, 0x01});
  return UsbReply::Answer({0x7F});
}

class RunFlowOverUsbDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    // The real PC/SC client, pointed at a service that does not exist.
    test::SetEnvironment("PCSCLITE_CSOCK_NAME", "/nonexistent/zarn/pcscd.comm");
  }
  void TearDown() override { test::ResetLinkState(); }

  std::uint32_t Run() {
    const char* argv[] = {"zarn-upgrade"};
    return RunTool(1, argv);
  }

  test::FakeClock clock;
  test::ScriptedConsole console;
  test::UsbInterfaceDirectory interfaces;
  test::FakeUsbDriver reader{interfaces, "reader"};
};

TEST_F(RunFlowOverUsbDriver, ReadsTheReadersIdentityThroughTheDriver) {
  reader.SetHandler([](const UsbRequest& request) { return ReaderAnswer(request, 0x00); });
  Run();
  const std::string& output = console.Output();
  EXPECT_EQ(output.rfind("09:05:03 Zarn Reader Upgrade\n"
                         "Interface USB is opened successfully\n"
                         "Serial Number 44 33 22 11 \n"
                         "Old Version   01 43 10 00 80 01 \n",
                         0),
            0u)
      << output;
  EXPECT_TRUE(output.ends_with("Press <Enter> ...")) << output;
  EXPECT_TRUE(reader.AwaitEndedConnections(1));  // closed down
}

TEST_F(RunFlowOverUsbDriver, AReaderErrorIsReportedWithTheReadersStatusByte) {
  reader.SetHandler([](const UsbRequest& request) { return ReaderAnswer(request, 0x05); });
  EXPECT_EQ(Run(), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(console.Output(),
            "09:05:03 Zarn Reader Upgrade\n"
            "Interface USB is opened successfully\n"
            "Error = 0x80100001 (-2146435071)\n"
            "Internal Error = 0x05 (5)\n"
            "Press <Enter> ...");
}

}  // namespace
}  // namespace zarn

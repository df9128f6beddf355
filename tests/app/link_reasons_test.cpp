// The reason lines on standard error when a link cannot be used: USB mode with neither a PC/SC
// reader nor a driver interface, a CCID driver that refuses escape commands (said once a run),
// and a COM port that does not exist. The console transcript stays as it was.

#include "app/link_reasons.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/device_requests.h"
#include "app/run_flow.h"
#include "app/upgrade_session.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/com_name.h"
#include "platform/error_text.h"
#include "platform/pcsc.h"
#include "tests/support/environment.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

using test::Bytes;

const std::string kBanner = "09:05:03 Zarn Reader Upgrade\n";
const std::string kUsbNotOpened =
    "zarn-upgrade: USB: no PC/SC reader whose name begins with "
    "\"Korvanta Smart Card Reader\" (";
const std::string kNoInterface = "), and the reader's own USB driver channel found no interface\n";

// The control error of the platform's CCID driver refusing escapes: libccid's
// SCARD_E_NOT_TRANSACTED under pcsc-lite, ERROR_INVALID_FUNCTION (1) on Windows.
std::uint32_t EscapeRefusal() {
  return platform::IsEscapeRefusal(SCARD_E_NOT_TRANSACTED) ? SCARD_E_NOT_TRANSACTED : 1;
}

class LinkReasons : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    test::SetEnvironment("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-interfaces");
    pcsc.answer = [](const Bytes&) { return test::WithStatusWord({0x00, 0x01}); };
  }
  void TearDown() override { test::ResetLinkState(); }

  std::uint32_t RunUsb() {
    const char* argv[] = {"zarn-upgrade"};
    return RunTool(1, argv);
  }

  test::FakeClock clock;
  test::ScriptedConsole console{"\n"};
  test::FakePcsc pcsc;
};

struct UsbCase {
  const char* what;
  std::uint32_t establishResult;
  std::uint32_t connectResult;
  std::vector<std::string> readers;
  std::string pcscPart;  // what the line says about PC/SC
};

TEST_F(LinkReasons, UsbNotOpenedSaysWhatPcscAndTheDriverChannelFound) {
  const UsbCase cases[] = {
      {"no PC/SC service",
       0x8010001D,
       0,
       {},
       "the PC/SC service: " + platform::PcscErrorText(0x8010001D)},
      {"no reader at all",
       0,
       SCARD_E_NO_READERS_AVAILABLE,
       {},
       "the PC/SC service lists no reader"},
      {"other readers only",
       0,
       0x80100009,
       {"Other Reader 00 00", "Second One 01 00"},
       "the PC/SC service lists \"Other Reader 00 00\", \"Second One 01 00\""},
      {"the reader is there but refuses the connection",
       0,
       0x8010000B,
       {"Korvanta Smart Card Reader 00 00"},
       "connecting: " + platform::PcscErrorText(0x8010000B)},
  };
  for (const UsbCase& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScriptedConsole caseConsole{"\n"};
    pcsc.establishResult = c.establishResult;
    pcsc.connectResult = c.connectResult;
    pcsc.readers = c.readers;
    EXPECT_EQ(RunUsb(), SCARD_F_COMM_ERROR);
    EXPECT_EQ(caseConsole.Output(), kBanner + "Interface USB is not opened\nPress <Enter> ...");
    // Both open attempts failed alike; the reason is said once.
    EXPECT_EQ(caseConsole.Reasons(), kUsbNotOpened + c.pcscPart + kNoInterface);
  }
}

TEST_F(LinkReasons, RefusedEscapeNamesTheDriverSettingAndLeavesTheTranscriptAlone) {
  pcsc.controlResult = EscapeRefusal();
  RunUsb();
  EXPECT_EQ(console.Output(), kBanner + "Interface USB is opened successfully\nPress <Enter> ...");
  EXPECT_EQ(console.Reasons(), std::string("zarn-upgrade: USB: ") +
                                   platform::EscapeRefusalAdvice(EscapeRefusal()) + "\n");
}

TEST_F(LinkReasons, RefusedEscapeIsSaidOnlyAtTheFirstFailureOfARun) {
  ResetLinkReasons();
  pcsc.controlResult = EscapeRefusal();
  ASSERT_EQ(OpenSmartCardReader(), kSuccess);
  EXPECT_EQ(SendRequest({0x22}), EscapeRefusal());
  EXPECT_EQ(SendRequest({0x64}), EscapeRefusal());
  EXPECT_EQ(SendRequest({0x64}), EscapeRefusal());
  CloseSmartCardReader();
  const std::string once =
      std::string("zarn-upgrade: USB: ") + platform::EscapeRefusalAdvice(EscapeRefusal()) + "\n";
  EXPECT_EQ(console.Reasons(), once);
  RunUsb();  // a new run may say it again
  EXPECT_EQ(console.Reasons(), once + once);
}

TEST_F(LinkReasons, OtherEscapeFailuresHaveNoReasonLine) {
  pcsc.controlResult = SCARD_F_COMM_ERROR;
  RunUsb();
  pcsc.controlResult = 0;
  pcsc.answer = [](const Bytes&) { return test::WithStatusWord({0x05}); };  // status byte 5
  RunUsb();
  EXPECT_EQ(console.Reasons(), "");
}

TEST_F(LinkReasons, ComPortThatDoesNotExistIsNamedWithTheSystemsWords) {
  // COM250 is never mapped under Wine; on Linux it is mapped to a path that is not there.
  test::SetEnvironment("ZARN_COM250", "/nonexistent/zarn-no-such-port");
  session = UpgradeSession{};
  session.portNumber = 250;
  session.transfer.reset(new CTransfer);
  EXPECT_FALSE(OpenSerialLink(9600, 'N', "1"));
  const LinkFailure failure = session.transfer->serialPort.lastFailure;
  EXPECT_EQ(failure.step, LinkStep::kOpen);
  const std::string words = platform::SystemErrorText(failure.osError);
  EXPECT_NE(failure.osError, 0u);
  EXPECT_NE(words, "error " + std::to_string(failure.osError)) << "the system has words for it";
  EXPECT_EQ(console.Reasons(), "zarn-upgrade: COM250 (" + platform::ComDeviceName(250) +
                                   ") cannot be opened: " + words + "\n");
  session = UpgradeSession{};
}

}  // namespace
}  // namespace zarn

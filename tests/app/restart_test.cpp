// Waiting for the reader over USB after it restarted: the dots, the state check, the device
// restart command and the operator's answer.

#include "app/restart.h"

#include <gtest/gtest.h>

#include <string>

#include "app/upgrade_session.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/process.h"
#include "tests/support/environment.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/fake_process_host.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

using test::Bytes;

constexpr std::uint32_t kNoReader = 0x8010000C;

class UsbRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    test::SetEnvironment("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-interfaces");
    session = UpgradeSession{};
    pcsc.answer = [this](const Bytes&) {
      ++versionRequests;
      return test::WithStatusWord(versionAnswer);
    };
  }
  void TearDown() override { test::ResetLinkState(); }

  void ReaderNeverComesBack() { pcsc.connectResult = kNoReader; }
  // The reader opens but its first version request gets no answer.
  void FirstVersionRequestUnanswered() {
    pcsc.answer = [this](const Bytes&) {
      return ++versionRequests == 1 ? Bytes{} : test::WithStatusWord(versionAnswer);
    };
  }

  test::FakeClock clock;
  test::FakePcsc pcsc;
  test::FakeProcessHost processes{true};
  Bytes versionAnswer{0x00, 0x01, 0x43, 0x10, 0x00, 0x80, 0x00};
  int versionRequests = 0;
};

struct StateCase {
  RestartMode mode;
  std::uint8_t runMode;
  std::size_t answerLength;
  std::uint32_t result;
};

TEST_F(UsbRestart, TheFinalAnswerMustShowTheExpectedRunMode) {
  const StateCase cases[] = {
      {AfterPrepare, 0x00, 7, kSuccess}, {AfterPrepare, 0x01, 7, 31u},
      {AfterCheck, 0x01, 7, kSuccess},   {AfterCheck, 0x00, 7, 32u},
      {AfterCheck, 0x00, 5, kSuccess},  // an answer of another length is not judged
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode << "/" << int{c.runMode} << "/" << c.answerLength);
    test::ScriptedConsole console;
    versionRequests = 0;
    versionAnswer = {0x00, 0x01, 0x43, 0x10, 0x00, 0x80, c.runMode};
    versionAnswer.resize(c.answerLength);
    EXPECT_EQ(WaitForRestart(c.mode), c.result);
    EXPECT_EQ(console.Output(), ".....\n");
    EXPECT_EQ(versionRequests, 2);  // one to see it answers, one to check its state
    EXPECT_TRUE(processes.commandLines.empty());
    CloseSmartCardReader();
  }
  EXPECT_GE(clock.SleptMs(), 6000u);
}

TEST_F(UsbRestart, AReaderThatOpensButIsSilentGetsItsDeviceRestarted) {
  test::ScriptedConsole console;
  FirstVersionRequestUnanswered();
  EXPECT_EQ(WaitForRestart(AfterPrepare), kSuccess);
  const char s = platform::PathSeparator();
  ASSERT_EQ(processes.commandLines.size(), 1u);
  EXPECT_EQ(processes.commandLines[0],
            std::string(".") + s + "x64" + s + "devcon restart \"USB\\Vid_c251&Pid_130d\"");
  EXPECT_EQ(console.Output(), ".....\nWait for device restart ...\nProtocol CCID\n\n");
  EXPECT_EQ(pcsc.connectedNames.size(), 2u);  // reconnected after the restart
}

TEST_F(UsbRestart, ThePlain32BitCommandIsUsedOutsideWow64) {
  test::ScriptedConsole console;
  processes.wow64 = false;
  FirstVersionRequestUnanswered();
  EXPECT_EQ(WaitForRestart(AfterPrepare), kSuccess);
  const char s = platform::PathSeparator();
  ASSERT_EQ(processes.commandLines.size(), 1u);
  EXPECT_EQ(processes.commandLines[0].substr(0, 7), std::string(".") + s + "i386" + s);
}

TEST_F(UsbRestart, TheOperatorCanGiveUpAfterTheInterfaceStayedAway) {
  test::ScriptedConsole console("xn");
  ReaderNeverComesBack();
  EXPECT_EQ(WaitForRestart(AfterCheck), 37u);
  EXPECT_EQ(console.Output(), std::string(5 + 15, '.') +
                                  "\nInterface could not be opened,\n"
                                  "e.g. need to install driver Zarn USB zarnqscr.inf\n"
                                  "Continue (Y/N)?\n"
                                  "Reader upgrade terminated.\n");
  EXPECT_FALSE(console.InputLeft());
}

struct PromptCase {
  const char* name;
  std::string keys;
  bool typedAhead;
  bool keyLeftUnread;
};

TEST_F(UsbRestart, AnyWayOfGoingOnReconnectsFiveTimes) {
  const PromptCase cases[] = {
      {"yes", "y", false, false},
      {"a key typed while waiting", "k", true, true},
      {"input closed", "", false, false},
  };
  for (const PromptCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedConsole console(c.keys, c.typedAhead);
    ReaderNeverComesBack();
    pcsc.connectedNames.clear();
    // Without a transfer engine the fall-back reports the engine missing.
    EXPECT_EQ(WaitForRestart(AfterCheck), SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(console.Output().substr(console.Output().find("Continue (Y/N)?\n")),
              "Continue (Y/N)?\n.....\n");
    EXPECT_EQ(pcsc.connectedNames.size(), 20u);
    EXPECT_EQ(console.InputLeft(), c.keyLeftUnread);
  }
}

TEST_F(UsbRestart, AReaderBackAfterTheOperatorsYesIsChecked) {
  test::ScriptedConsole console("Y");
  pcsc.connectFailuresLeft = 16;  // back on the second reconnect attempt
  EXPECT_EQ(WaitForRestart(AfterPrepare), kSuccess);
  EXPECT_EQ(console.Output().substr(console.Output().find("Continue (Y/N)?\n")),
            "Continue (Y/N)?\n.\n");
  EXPECT_TRUE(processes.commandLines.empty());
}

}  // namespace
}  // namespace zarn

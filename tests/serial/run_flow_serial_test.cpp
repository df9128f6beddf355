// The run flow on a COM port, in process, with a scripted reader on a pty: the parity and
// stop-bit attempts, the bus address in every frame, the identification lines, and the reason
// lines for a reader that does not answer.

#include <gtest/gtest.h>

#include "app/link_reasons.h"
#include "app/restart.h"
#include "app/run_flow.h"
#include "app/upgrade_session.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "tests/serial/pty_peer.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_reader.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

using test::AnswerFrame;
using test::Bytes;
using test::FramePeer;
using test::Pty;
using test::RequestFrame;

constexpr std::uint8_t kVersionRequest = 0x64;
constexpr std::uint8_t kSerialNumberRequest = 0x22;

// A reader in its application: it knows the version and serial-number requests and refuses
// everything else with status 5.
Bytes ReaderAnswer(const Bytes& request) {
  if (request == Bytes{kVersionRequest}) return {0x00, 0x01, 0x02, 0x43, 0x04, 0x05, 0x01};
  if (request == Bytes{kSerialNumberRequest}) return {0x00, 0x78, 0x56, 0x34, 0x12};
  return {0x05};
}

TEST(RunFlowSerial, ReaderAtOddParityIsFoundOnTheSecondAttempt) {
  Pty pty;
  pty.MapAsCom(7);
  // The master sees the slave's PARODD (a pty always clears PARENB).
  FramePeer peer(pty, [](const RequestFrame& request, Pty& line) {
    if ((line.SlaveSettings().c_cflag & PARODD) == 0) return;
    line.Write(AnswerFrame(request.address, request.sequence, ReaderAnswer(request.payload)));
  });
  test::ScriptedConsole console;
  const char* argv[] = {"zarn-upgrade", "COM7"};
  RunTool(2, argv);

  const std::string& output = console.Output();
  EXPECT_NE(output.find("Device address on the bus = 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Interface COM7 .... is opened successfully\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Serial Number 12 34 56 78 \n"), std::string::npos) << output;
  EXPECT_NE(output.find("Old Version   01 02 43 04 05 01 \n"), std::string::npos) << output;
  const auto requests = peer.Requests();
  ASSERT_GE(requests.size(), 4u);  // unanswered N/1, then O/1: version, serial number, version
  EXPECT_EQ(requests[1].payload, Bytes{kVersionRequest});
  EXPECT_EQ(requests[2].payload, Bytes{kSerialNumberRequest});
}

TEST(RunFlowSerial, BusAddressGoesIntoEveryFrame) {
  Pty pty;
  pty.MapAsCom(8);
  // A reader at address 17 on the bus answers only frames addressed to it.
  FramePeer peer(pty, [](const RequestFrame& request, Pty& line) {
    if (request.address != 17) return;
    line.Write(AnswerFrame(request.address, request.sequence, ReaderAnswer(request.payload)));
  });
  test::ScriptedConsole console;
  const char* argv[] = {"zarn-upgrade", "COM8", "9600", "17"};
  RunTool(4, argv);

  const std::string& output = console.Output();
  EXPECT_NE(output.find("Device address on the bus = 17\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Interface COM8 ... is opened successfully\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Serial Number 12 34 56 78 \n"), std::string::npos) << output;
  const auto requests = peer.Requests();
  ASSERT_GE(requests.size(), 3u);
  for (const RequestFrame& request : requests) {
    EXPECT_EQ(request.address, 0x11);
    EXPECT_TRUE(request.checkGood);
  }
}

// The reopens (after a restart, at a baud-rate change) go through the same open as the first
// one: a port that opens but does not take the settings is named with them and the system's words.
TEST(RunFlowSerial, SettingsThePortDoesNotTakeAreNamedOnStandardError) {
  Pty pty;
  pty.MapAsCom(9);
  test::ScriptedConsole console;
  session = UpgradeSession{};
  session.portNumber = 9;
  session.transfer.reset(new CTransfer);
  EXPECT_FALSE(OpenSerialLink(9600, 'X', "1"));
  EXPECT_FALSE(OpenSerialLink(57600, 'N', "1.5"));
  EXPECT_TRUE(OpenSerialLink(9600, 'E', "2"));
  EXPECT_EQ(console.Reasons(),
            "zarn-upgrade: COM9 (" + pty.SlavePath() +
                ") does not take 9600 baud, parity X, 8 data bits, 1 stop bit: Invalid argument\n"
                "zarn-upgrade: COM9 (" +
                pty.SlavePath() +
                ") does not take 57600 baud, parity N, 8 data bits, 1.5 stop bits: Invalid "
                "argument\n");
  EXPECT_EQ(console.Output(), "");
  session = UpgradeSession{};
}

// What every silent-reader line ends with: the usual causes on a serial line.
const std::string kCheckLine =
    ": check the reader's baud rate and bus address, the wiring, and RS-485 direction control\n";

struct OpenLoopCase {
  const char* what;
  Bytes answer;         // the answer to every request; none: the reader stays silent
  std::string reasons;  // after "zarn-upgrade: COM11 (<pty>): "
};

TEST(RunFlowSerial, AReaderThatAnswersNoAttemptIsNamedWithEverythingTheToolTried) {
  const OpenLoopCase cases[] = {
      {"silent",
       {},
       "the port opened, but the reader did not answer at 19200 baud, bus address 44, framings "
       "N/1, O/1, E/1, N/2, O/2, E/2" +
           kCheckLine},
      // A refusal is an answer: the reader is there, and the result says what it said.
      {"refusing", {0x05}, ""},
  };
  for (const OpenLoopCase& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    pty.MapAsCom(11);
    FramePeer peer(pty, [&c](const RequestFrame& request, Pty& line) {
      if (!c.answer.empty()) line.Write(AnswerFrame(request.address, request.sequence, c.answer));
    });
    test::ScriptedConsole console;
    const char* argv[] = {"zarn-upgrade", "COM11", "19200", "300"};  // address 300 is 44
    RunTool(4, argv);
    EXPECT_EQ(console.Output().substr(console.Output().find("Device")),
              "Device address on the bus = 44\nInterface COM11 ......... is not opened\n"
              "Press <Enter> ...");
    const std::string prefix = "zarn-upgrade: COM11 (" + pty.SlavePath() + "): ";
    EXPECT_EQ(console.Reasons(), c.reasons.empty() ? "" : prefix + c.reasons);
  }
}

struct RestartCase {
  const char* what;
  char parity;  // the framing the open loop found, used again after the trailer
  const char* stopBits;
  std::uint32_t result;
  std::string reasons;  // after "zarn-upgrade: COM12 (<pty>)"
};

TEST(RunFlowSerial, AReaderSilentAfterItsRestartIsNamedOnlyWhenThePortReopened) {
  const RestartCase cases[] = {
      {"silent on the reopened port", 'O', "2", ERROR_TIMEOUT_CODE,
       ": the reader did not answer after its restart with the new image at 9600 baud, bus "
       "address 0, framing O/2" +
           kCheckLine},
      // The reopen failed and says so; the probes on a closed port are no news about the reader.
      {"the reopen failed", 'X', "1", SCARD_E_NO_READERS_AVAILABLE,  // no link is open
       " does not take 9600 baud, parity X, 8 data bits, 1 stop bit: Invalid argument\n"},
  };
  for (const RestartCase& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    pty.MapAsCom(12);
    FramePeer peer(pty, [](const RequestFrame&, Pty&) {});
    test::FakeClock clock;
    test::ScriptedConsole console;
    ResetLinkReasons();
    session = UpgradeSession{};
    session.portNumber = 12;
    session.parityLetter = c.parity;
    session.stopBitsText[0] = c.stopBits[0];
    session.transfer.reset(new CTransfer);
    transferEngine = session.transfer.get();
    EXPECT_EQ(WaitForRestart(AfterCheck), c.result);
    EXPECT_EQ(console.Output(), "..........\n");
    EXPECT_EQ(console.Reasons(), "zarn-upgrade: COM12 (" + pty.SlavePath() + ")" + c.reasons);
    transferEngine = nullptr;
    session = UpgradeSession{};
  }
}

struct MoveCase {
  const char* what;
  speed_t silentAt;      // the line speed at which the reader stops answering
  bool onceImageIsFull;  // ... only after the last block
  std::string tail;      // the transcript from the ruler on
  std::string reason;    // after "zarn-upgrade: COM13 (<pty>): "
};

TEST(RunFlowSerial, AReaderSilentAtTheRateItWasJustSwitchedToIsNamedWithThatRate) {
  const std::string ruler = "Process:\n" + std::string(34, '.') + "\n";
  const MoveCase cases[] = {
      {"did not follow to the upgrade rate", B115200, false,
       ruler + "Sended = 0x00000000 (0)\nError = 0x000005B4 (1460)\n\n:\n"
               "Error = 0x00000029 (41)\n",
       "the reader did not answer after the move to the upgrade baud rate at 115200 baud, bus "
       "address 0, framing N/1: check that the reader, the adapter and the line carry that rate, "
       "the wiring, and RS-485 direction control\n"},
      {"did not come back to the operational rate", B9600, true,
       ruler + std::string(34, ':') + "\nError = 0x000005B4 (1460)\n",
       "the reader did not answer after the move back to the operational baud rate at 9600 baud, "
       "bus address 0, framing N/1: check that the reader, the adapter and the line carry that "
       "rate, the wiring, and RS-485 direction control\n"},
  };
  for (const MoveCase& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    pty.MapAsCom(13);
    test::FakeReader reader;
    const std::size_t fullImage = 187392;
    FramePeer peer(pty, [&](const RequestFrame& request, Pty& line) {
      const termios settings = line.SlaveSettings();
      if (cfgetospeed(&settings) == c.silentAt &&
          (!c.onceImageIsFull || reader.image.size() == fullImage)) {
        return;
      }
      const bool baudCommand = request.payload.size() == 2 && request.payload[0] == 0x0F;
      const Bytes answer = baudCommand ? Bytes{0x00} : reader.Answer(request.payload);
      line.Write(AnswerFrame(request.address, request.sequence, answer));
    });
    test::FakeClock clock;
    test::ScriptedConsole console;
    const char* argv[] = {"zarn-upgrade", "COM13", "9600", "0", "115200"};
    RunTool(5, argv);
    const std::string& output = console.Output();
    const std::size_t rulerAt = output.find("Process:");
    ASSERT_NE(rulerAt, std::string::npos) << output;
    EXPECT_EQ(output.substr(rulerAt), c.tail + "Press <Enter> ...");
    EXPECT_EQ(console.Reasons(), "zarn-upgrade: COM13 (" + pty.SlavePath() + "): " + c.reason);
  }
}

}  // namespace
}  // namespace zarn

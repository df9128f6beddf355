#include <PCSC/reader.h>
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/sim/sim_process.h"

namespace zarn::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kEscapeHeader{0xFF, 0x70, 0xC2, 0x51, 0x00};
constexpr DWORD kEscapeCode = SCARD_CTL_CODE(1);
// Windows' SCARD_CTL_CODE(3500), the code of its CCID class driver (pcsc-lite's macro differs).
constexpr DWORD kWindowsEscapeCode = 0x3136B0;

Bytes Escape(Bytes command) {
  command.insert(command.begin(), kEscapeHeader.begin(), kEscapeHeader.end());
  return command;
}

bool HavePcscd() {
  return access("/usr/sbin/pcscd", X_OK) == 0 || access("/usr/bin/pcscd", X_OK) == 0;
}

// Runs scripts/sim-pcscd; its last output line for "start" is PCSCLITE_CSOCK_NAME=...
std::string RunScript(const std::string& arguments) {
  const std::string command = std::string(ZARN_SIM_PCSCD_SCRIPT) + " " + arguments + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string output;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
    output += chunk;
  pclose(pipe);
  return output;
}

// The simulator behind a private pcscd, reached with the plain pcsc-lite client.
class PcscFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: pcscd runs in a private mount namespace";
    if (!HavePcscd()) GTEST_SKIP() << "pcscd is not installed";
    const std::string socket = scratch / "sim.sock";
    ASSERT_TRUE(sim.Start({"--pcsc-socket", socket, "--restart-time", "0.5"})) << sim.output();
    const std::string output = RunScript("start " + driverOption + (scratch / "pcscd") + " " +
                                         socket + " " + ZARN_SIM_IFD_LIBRARY);
    const std::string key = "PCSCLITE_CSOCK_NAME=";
    const std::size_t at = output.rfind(key);
    ASSERT_NE(at, std::string::npos) << output;
    std::string csock = output.substr(at + key.size());
    csock.erase(csock.find_last_not_of("\n") + 1);
    setenv("PCSCLITE_CSOCK_NAME", csock.c_str(), 1);  // before the first PC/SC call
    pcscdStarted = true;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  }

  void TearDown() override {
    if (card != 0) SCardDisconnect(card, SCARD_LEAVE_CARD);
    if (context != 0) SCardReleaseContext(context);
    if (!pcscdStarted) return;
    RunScript("stop " + (scratch / "pcscd"));
    EXPECT_EQ(sim.Stop(), 0) << sim.output();
  }

  // The listed name of the simulated reader ("Korvanta Smart Card Reader 00 00").
  std::string ReaderName() {
    char names[1024] = {};
    DWORD length = sizeof names;
    if (SCardListReaders(context, nullptr, names, &length) != SCARD_S_SUCCESS) return {};
    const std::string first = names;
    return first.rfind("Korvanta Smart Card Reader", 0) == 0 ? first : std::string();
  }

  LONG Connect() {
    DWORD protocol = 0;
    if (card != 0) SCardDisconnect(card, SCARD_LEAVE_CARD);
    card = 0;
    return SCardConnect(context, ReaderName().c_str(), SCARD_SHARE_DIRECT, 0, &card, &protocol);
  }

  LONG Control(DWORD code, const Bytes& input, Bytes& output) {
    output.assign(300, 0);
    DWORD length = 0;
    const LONG result = SCardControl(card, code, input.data(), static_cast<DWORD>(input.size()),
                                     output.data(), static_cast<DWORD>(output.size()), &length);
    output.resize(result == SCARD_S_SUCCESS ? length : 0);
    return result;
  }

  std::string driverOption;  // "--windows-driver ": the handler stands in for Windows' driver
  ScratchDir scratch;
  SimProcess sim;
  bool pcscdStarted = false;
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
};

TEST_F(PcscFrontTest, EscapeRequestsReachTheReaderThroughPcscd) {
  ASSERT_EQ(Connect(), SCARD_S_SUCCESS);
  Bytes answer;
  ASSERT_EQ(Control(kEscapeCode, Escape({0x64}), answer), SCARD_S_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x01, 0x90, 0x00}));
  ASSERT_EQ(Control(kEscapeCode, Escape({0x99}), answer), SCARD_S_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x01, 0x90, 0x00}));
  ASSERT_EQ(Control(kEscapeCode, {0x64}, answer), SCARD_S_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x6E, 0x00})) << "no escape header";
  EXPECT_NE(Control(kWindowsEscapeCode, Escape({0x64}), answer), SCARD_S_SUCCESS);
}

TEST_F(PcscFrontTest, ReaderIsGoneWhileItRestartsAndComesBackInTheLoader) {
  ASSERT_EQ(Connect(), SCARD_S_SUCCESS);
  Bytes answer;
  ASSERT_EQ(Control(kEscapeCode,
                    Escape({0x73, 0x75, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), answer),
            SCARD_S_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x00, 0x90, 0x00}));
  EXPECT_EQ(Control(kEscapeCode, Escape({0x64}), answer), SCARD_E_READER_UNAVAILABLE);
  LONG connected = SCARD_E_READER_UNAVAILABLE;
  for (int waited = 0; waited < 5000 && connected != SCARD_S_SUCCESS; waited += 100) {
    SleepMs(100);
    connected = Connect();
  }
  ASSERT_EQ(connected, SCARD_S_SUCCESS);
  ASSERT_EQ(Control(kEscapeCode, Escape({0x64}), answer), SCARD_S_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x00, 0x90, 0x00}));
}

// Standing in for Windows' CCID class driver, the handler takes Windows' escape code and no
// longer libccid's, so that neither build passes with the other's code.
class PcscFrontWindowsDriverTest : public PcscFrontTest {
 protected:
  PcscFrontWindowsDriverTest() { driverOption = "--windows-driver "; }
};

TEST_F(PcscFrontWindowsDriverTest, TakesWindowsEscapeCodeAndRefusesLibccids) {
  ASSERT_EQ(Connect(), SCARD_S_SUCCESS);
  Bytes answer;
  ASSERT_EQ(Control(kWindowsEscapeCode, Escape({0x64}), answer), SCARD_S_SUCCESS);
  EXPECT_EQ(answer, (Bytes{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x01, 0x90, 0x00}));
  EXPECT_NE(Control(kEscapeCode, Escape({0x64}), answer), SCARD_S_SUCCESS);
}

}  // namespace
}  // namespace zarn::sim::test

// The whole run in USB mode through a scripted PC/SC reader: identification, refusals, the loader
// switch, the block transfer, the check, the serial number and the default parameters.

#include <gtest/gtest.h>

#include <string>

#include "app/run_flow.h"
#include "link/result_codes.h"
#include "tests/support/environment.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/support/fake_process_host.h"
#include "tests/support/fake_reader.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

const std::string kOpened =
    "09:05:03 Zarn Reader Upgrade\n"
    "Interface USB is opened successfully\n"
    "Serial Number 44 33 22 11 \n"
    "Old Version   01 43 10 00 80 01 \n";
const std::string kRuler = "Process:\n" + std::string(34, '.') + "\n";
const std::string kPrompt = "Press <Enter> ...";

class UsbUpgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    test::SetEnvironment("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-interfaces");
    reader.ServeThrough(pcsc);
  }
  void TearDown() override { test::ResetLinkState(); }

  std::uint32_t Run() {
    const char* argv[] = {"zarn-upgrade"};
    return RunTool(1, argv);
  }
  // The output after the reader's identity, up to the prompt.
  std::string Tail() const {
    const std::string& out = console.Output();
    EXPECT_EQ(out.rfind(kOpened, 0), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - kPrompt.size()), kPrompt);
    return out.substr(kOpened.size(), out.size() - kOpened.size() - kPrompt.size());
  }

  test::FakeClock clock;
  test::ScriptedConsole console{"\n"};
  test::FakePcsc pcsc;
  test::FakeProcessHost processes;
  test::FakeReader reader;
};

TEST_F(UsbUpgrade, AFullUpgradeDeliversEveryImageByteAndEndsInTheNewApplication) {
  EXPECT_EQ(Run(), kSuccess);
  EXPECT_EQ(Tail(),
            "MCU Type  AT32F403ACGT7\n"
            "Prepare .......\n" +
                kRuler + std::string(33, ':') + ":\n" +
                "Check .......\n"
                "Serial Number 44 33 22 11 \n"
                "New Version   02 43 00 00 40 01 \n"
                "09:05:03 Zarn Reader is upgraded successfully\n"
                "Set Default Parameters\n");
  EXPECT_TRUE(reader.imageAccepted);
  EXPECT_EQ(reader.image.size(), 187392u);
  EXPECT_EQ(reader.restarts, 2);
  ASSERT_EQ(reader.defaultsFlags.size(), 1u);  // old word has bit 0x100000
  EXPECT_EQ(reader.defaultsFlags[0], 1);       // byte 5 went from 0x80 to 0x40
  EXPECT_TRUE(processes.commandLines.empty());
}

TEST_F(UsbUpgrade, AnLpc11ChipGetsItsOwnImage) {
  reader.partId = 0x00007C00;  // 11U68JBD100
  EXPECT_EQ(Run(), kSuccess);
  EXPECT_EQ(Tail().rfind("MCU Type  LPC11U68JBD100\nPrepare .......\nProcess:\n", 0), 0u);
  EXPECT_TRUE(reader.imageAccepted);
  EXPECT_EQ(reader.image.size(), 139008u);
}

struct Refusal {
  const char* name;
  std::uint32_t partId;
  std::uint8_t versionByte2;
  std::size_t mcuAnswerLength;
  std::string printed;
  std::uint32_t result;
};

TEST_F(UsbUpgrade, ReadersThatDoNotFitAreRefusedBeforeAnythingIsWritten) {
  const Refusal cases[] = {
      {"GD32 has no image", 0x21040414, 0x43, 7, "MCU Type  GD32F303Cx  wrong hex\n", 13},
      {"LPC21xx family", 0x0402FF25, 0x43, 7, "MCU Type  LPC2148  incompatible\n", 15},
      {"old firmware", 0x70050346, 0x42, 7,
       "MCU Type  AT32F403ACGT7\nThe update is not compatible with this device\n", 17},
      {"unknown part id", 0x12345678, 0x43, 7, "MCU Type  unsupported\n", 13},
      {"part id 0", 0, 0x43, 7, "MCU Type  unsupported\n", 13},
      {"short MCU answer", 0x70050346, 0x43, 6, "MCU Type  unsupported\n", 11},
      {"long MCU answer", 0x70050346, 0x43, 8, "MCU Type  unsupported\n", 11},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedConsole quiet("\n");
    reader = test::FakeReader{};
    reader.ServeThrough(pcsc);
    reader.partId = c.partId;
    reader.version[1] = c.versionByte2;
    reader.mcuAnswerLength = c.mcuAnswerLength;
    EXPECT_EQ(Run(), c.result);
    const std::string& out = quiet.Output();
    EXPECT_EQ(out.substr(out.find("MCU Type")), c.printed + kPrompt);
    EXPECT_EQ(reader.restarts, 0);
    EXPECT_TRUE(reader.image.empty());
  }
}

TEST_F(UsbUpgrade, AReaderAlreadyInItsLoaderIsNotAskedToRestartIntoIt) {
  reader.inLoader = true;
  reader.version[5] = 0;
  EXPECT_EQ(Run(), kSuccess);
  EXPECT_EQ(console.Output().find("Prepare"), std::string::npos);
  EXPECT_EQ(reader.restarts, 1);  // only the restart after the trailer
  EXPECT_TRUE(reader.imageAccepted);
}

TEST_F(UsbUpgrade, ARefusedBlockStopsTheTransferWithWhatWasSent) {
  reader.refuseBlock = 10;
  EXPECT_EQ(Run(), 41u);
  EXPECT_EQ(Tail(), "MCU Type  AT32F403ACGT7\nPrepare .......\n" + kRuler +
                        "Sended = 0x00000A00 (2560)\n"
                        "Error = 0x80100001 (-2146435071)\n"
                        "     Internal Error = -1 (0xFF)\n"
                        ":\n");
  EXPECT_EQ(reader.image.size(), 2560u);
  EXPECT_EQ(reader.restarts, 1);  // no trailer was sent
}

TEST_F(UsbUpgrade, AReaderThatStaysInItsLoaderAfterTheCheckFailsTheRun) {
  reader.failImageCheck = true;
  EXPECT_EQ(Run(), 32u);
  const std::string out = Tail();
  EXPECT_NE(out.find("Check .......\n"), std::string::npos);
  EXPECT_EQ(out.find("upgraded successfully"), std::string::npos);
}

struct SerialCase {
  const char* name;
  std::uint8_t oldSerial[4];
  std::uint8_t newSerial[4];
  std::uint8_t oldWordByte3;  // bit 0x10: defaults wanted by the old version
  bool writtenBack;
  const char* printedSerial;
  int defaultsCommands;
  std::uint8_t flag;
};

TEST_F(UsbUpgrade, TheOldSerialNumberIsRestoredUnlessItWasNeverSet) {
  const SerialCase cases[] = {
      {"same serial, no defaults", {1, 2, 3, 4}, {1, 2, 3, 4}, 0x00, false, "04 03 02 01 ", 0, 0},
      {"lost serial is written back", {1, 2, 3, 4}, {9, 9, 9, 9}, 0x00, true, "04 03 02 01 ", 1, 1},
      {"unset FFFFFFFF is kept",
       {0xFF, 0xFF, 0xFF, 0xFF},
       {9, 9, 9, 9},
       0x00,
       false,
       "09 09 09 09 ",
       0,
       0},
      {"unset 7C2FDEED is kept",
       {0xED, 0xDE, 0x2F, 0x7C},
       {9, 9, 9, 9},
       0x00,
       false,
       "09 09 09 09 ",
       0,
       0},
      {"defaults from the old word", {1, 2, 3, 4}, {1, 2, 3, 4}, 0x10, false, "04 03 02 01 ", 1, 1},
  };
  for (const SerialCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedConsole quiet("\n");
    reader = test::FakeReader{};
    reader.ServeThrough(pcsc);
    std::copy(c.oldSerial, c.oldSerial + 4, reader.serialNumber);
    std::copy(c.newSerial, c.newSerial + 4, reader.serialAfterUpgrade);
    reader.version[2] = c.oldWordByte3;
    ASSERT_EQ(Run(), kSuccess);
    EXPECT_EQ(reader.serialWrites.size(), c.writtenBack ? 1u : 0u);
    if (c.writtenBack) {
      EXPECT_EQ(reader.serialWrites[0], test::Bytes(c.oldSerial, c.oldSerial + 4));
    }
    const std::string& out = quiet.Output();
    const std::size_t check = out.find("Check ");
    ASSERT_NE(check, std::string::npos);
    EXPECT_NE(out.find(std::string("Serial Number ") + c.printedSerial, check), std::string::npos);
    EXPECT_EQ(static_cast<int>(reader.defaultsFlags.size()), c.defaultsCommands);
    if (c.defaultsCommands > 0) {
      EXPECT_EQ(reader.defaultsFlags[0], c.flag);
    }
    EXPECT_EQ(out.find("Set Default Parameters") != std::string::npos,
              c.defaultsCommands > 0 && c.flag == 1);
  }
}

TEST_F(UsbUpgrade, Byte5ChangesOutsideTheDefaultBitsSendFlagZeroSilently) {
  reader.version[4] = 0x80;
  reader.newVersion[4] = 0xA0;  // only bit 0x20 differs
  reader.version[2] = 0x10;     // the old word asks for the command
  ASSERT_EQ(Run(), kSuccess);
  ASSERT_EQ(reader.defaultsFlags.size(), 1u);
  EXPECT_EQ(reader.defaultsFlags[0], 0);
  EXPECT_EQ(console.Output().find("Set Default Parameters"), std::string::npos);
}

}  // namespace
}  // namespace zarn

// Opening and closing the PC/SC reader, the fall-back to the USB channel, CloseInterface.

#include <gtest/gtest.h>

#include <cstring>

#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "tests/support/environment.h"
#include "tests/support/fake_pcsc.h"

namespace zarn {
namespace {

class SmartCardReader : public ::testing::Test {
 protected:
  void SetUp() override { test::ResetLinkState(); }
  void TearDown() override { test::ResetLinkState(); }
  test::FakePcsc pcsc;
};

TEST_F(SmartCardReader, ConnectsDirectlyToTheFixedReaderName) {
  ASSERT_EQ(OpenSmartCardReader(), kSuccess);
  EXPECT_TRUE(smartCardPathActive);
  EXPECT_EQ(smartCardReader.connected, 1);
  EXPECT_STREQ(smartCardReader.readerName, "Korvanta Smart Card Reader 0");
  ASSERT_EQ(pcsc.connectedNames.size(), 1u);
  EXPECT_STREQ(pcsc.connectedNames[0], "Korvanta Smart Card Reader 0");

  EXPECT_EQ(CloseSmartCardReader(), kSuccess);
  EXPECT_EQ(pcsc.disconnects, 1);
  EXPECT_EQ(pcsc.releases, 1);
  EXPECT_EQ(smartCardReader.connected, 0);
  EXPECT_EQ(smartCardReader.context, 0u);
  EXPECT_TRUE(smartCardPathActive);  // closing leaves the path flag as it was
}

TEST_F(SmartCardReader, WithoutServiceOrEngineTheFallBackHasNothingToOpen) {
  pcsc.establishResult = 0x8010001D;  // SCARD_E_NO_SERVICE
  smartCardPathActive = true;
  EXPECT_EQ(OpenSmartCardReader(), SCARD_E_READER_UNAVAILABLE);
  EXPECT_FALSE(smartCardPathActive);
  EXPECT_EQ(pcsc.releases, 0);
}

TEST_F(SmartCardReader, AFailedConnectReleasesTheContextAndFallsBackToTheUsbChannel) {
  pcsc.connectResult = 0x8010000C;
  CTransfer engine;
  engine.linkBaudRate = 9600;
  engine.sequenceNumber = 7;
  engine.busAddress = 3;
  engine.stateFlags = FLAG_BUSY | FLAG_IN_FRAME;
  transferEngine = &engine;
  // No driver interface is present here, so the channel cannot open.
  test::SetEnvironment("ZARN_DEVICE_INTERFACES", "/nonexistent/zarn-interfaces");
  EXPECT_EQ(OpenSmartCardReader(), SCARD_F_COMM_ERROR);
  EXPECT_EQ(pcsc.releases, 1);
  EXPECT_EQ(smartCardReader.context, 0u);
  EXPECT_EQ(engine.linkBaudRate, 0u);  // baud rate 0 selects the USB path
  EXPECT_EQ(engine.linkIndex, 0);
  EXPECT_EQ(engine.stateFlags, 0);
  EXPECT_EQ(engine.sequenceNumber, 7);
  EXPECT_EQ(engine.busAddress, 3);
  test::ResetLinkState();
}

TEST_F(SmartCardReader, CloseInterfaceWithNothingOpenChangesNothing) {
  EXPECT_EQ(CloseInterface(), kSuccess);
  EXPECT_EQ(pcsc.disconnects, 0);
  EXPECT_EQ(pcsc.releases, 0);

  ASSERT_EQ(OpenSmartCardReader(), kSuccess);
  EXPECT_EQ(CloseInterface(), kSuccess);
  EXPECT_EQ(smartCardReader.connected, 0);
  EXPECT_EQ(pcsc.disconnects, 1);
}

TEST_F(SmartCardReader, CloseReleasesTheContextEvenWhenNoneIsHeld) {
  EXPECT_EQ(CloseSmartCardReader(), kSuccess);
  EXPECT_EQ(pcsc.releases, 1);
  EXPECT_EQ(pcsc.disconnects, 0);
}

}  // namespace
}  // namespace zarn

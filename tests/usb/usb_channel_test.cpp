// The USB driver channel against driver sockets in a temporary device-interface directory:
// enumeration positions, opening and closing, the set-up control.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/usb/fake_usb_driver.h"
#include "transport/usb_channel.h"

namespace zarn {
namespace {

using test::Bytes;
using test::FakeUsbDriver;
using test::UsbReply;

const Bytes kSetupInput = {20, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0};

class UsbChannelTest : public ::testing::Test {
 protected:
  test::UsbInterfaceDirectory interfaces;
  CIOUSB channel;
};

TEST_F(UsbChannelTest, NoReaderLeavesTheChannelClosedAndThePathUnchanged) {
  std::strcpy(channel.devicePath, "untouched");
  EXPECT_FALSE(channel.Open(0));
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_STREQ(channel.devicePath, "untouched");
  EXPECT_EQ(channel.deviceIndex, 0);
}

TEST_F(UsbChannelTest, OpenOfTheSecondReaderOpensAndClosesTheFirstOnTheWay) {
  FakeUsbDriver second(interfaces, "b");  // created first: positions follow the names
  FakeUsbDriver first(interfaces, "a");
  ASSERT_TRUE(channel.Open(1));
  EXPECT_EQ(channel.devicePath, interfaces.PathOf("b"));

  EXPECT_TRUE(first.AwaitEndedConnections(1));
  EXPECT_EQ(first.Connections(), 1);
  EXPECT_TRUE(first.Requests().empty());

  EXPECT_EQ(second.Connections(), 1);
  const auto requests = second.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].controlCode, 0x8000202Cu);
  EXPECT_EQ(requests[0].outputCapacity, 0u);
  EXPECT_EQ(requests[0].input, kSetupInput);
}

TEST_F(UsbChannelTest, AnInterfaceThatCannotBeOpenedAtThePositionGivesNoDevice) {
  interfaces.AddStaleInterface("a");
  FakeUsbDriver working(interfaces, "b");
  EXPECT_FALSE(channel.Open(0));
  EXPECT_FALSE(channel.IsOpen());
  // The later positions were still visited, each opened and closed again.
  EXPECT_EQ(channel.devicePath, interfaces.PathOf("b"));
  EXPECT_TRUE(working.AwaitEndedConnections(1));

  EXPECT_TRUE(channel.Open(1));
}

TEST_F(UsbChannelTest, OpenOnAnOpenChannelClosesTheOldDeviceBeforeTheSearch) {
  FakeUsbDriver reader(interfaces, "reader");
  ASSERT_TRUE(channel.Open(0));
  ASSERT_TRUE(channel.Open(0));
  EXPECT_TRUE(reader.AwaitEndedConnections(1));
  EXPECT_EQ(reader.Connections(), 2);
  EXPECT_EQ(reader.MostAtOnce(), 1);
  EXPECT_EQ(reader.Requests().size(), 2u);  // one set-up per open
}

TEST_F(UsbChannelTest, CloseReportsWhetherADeviceWasOpen) {
  FakeUsbDriver reader(interfaces, "reader");
  ASSERT_TRUE(channel.Open(0));
  EXPECT_TRUE(channel.Close());
  EXPECT_FALSE(channel.Close());
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_TRUE(reader.AwaitEndedConnections(1));
}

TEST_F(UsbChannelTest, TheSetUpOutcomeDoesNotDecideTheOpen) {
  const struct {
    const char* name;
    UsbReply reply;
  } cases[] = {
      {"rejected", UsbReply::Answer({}, 1)},  // ERROR_INVALID_FUNCTION
      {"never answered", UsbReply::Of(UsbReply::Kind::kSilent)},
      {"connection dropped", UsbReply::Of(UsbReply::Kind::kHangUp)},
  };
  channel.ioTimeout = 100;
  for (const auto& setup : cases) {
    SCOPED_TRACE(setup.name);
    FakeUsbDriver reader(interfaces, "reader");
    reader.SetHandler([&](const test::UsbRequest&) { return setup.reply; });
    EXPECT_TRUE(channel.Open(0));
    EXPECT_TRUE(channel.Close());
  }
}

}  // namespace
}  // namespace zarn

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

#include "tests/sim/sim_process.h"

namespace zarn::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSetup = 0x8000202C;
constexpr std::uint32_t kTransceive = 0x2A0018;

void PutU32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t U32(const Bytes& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

struct Reply {
  std::uint32_t requestId;
  std::uint32_t status;
  Bytes output;
};

// A plain client of the device-interface socket protocol.
class InterfaceClient {
 public:
  ~InterfaceClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connect(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  bool SendRaw(const Bytes& message) { return send(fd_, message.data(), message.size(), 0) >= 0; }
  std::optional<Reply> Control(std::uint32_t code, std::uint32_t requestId, std::uint32_t capacity,
                               const Bytes& input) {
    Bytes message;
    PutU32(message, code);
    PutU32(message, requestId);
    PutU32(message, capacity);
    message.insert(message.end(), input.begin(), input.end());
    if (!SendRaw(message)) return std::nullopt;
    return Receive();
  }
  std::optional<Reply> Receive() {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, 2000) <= 0) return std::nullopt;
    Bytes message(2048);
    const ssize_t count = recv(fd_, message.data(), message.size(), 0);
    if (count < 8) return std::nullopt;
    message.resize(static_cast<std::size_t>(count));
    return Reply{U32(message, 0), U32(message, 4), Bytes(message.begin() + 8, message.end())};
  }
  // True when the simulator closed the connection.
  bool Closed() {
    pollfd wait{fd_, POLLIN, 0};
    char byte = 0;
    return poll(&wait, 1, 2000) > 0 && recv(fd_, &byte, 1, 0) == 0;
  }

 private:
  int fd_ = -1;
};

class UsbFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start({"--usb-root", scratch / "interfaces", "--restart-time", "0.3"}))
        << sim.output();
  }
  void TearDown() override {
    EXPECT_EQ(sim.Stop(), 0) << sim.output();
    EXPECT_FALSE(PathExists(socketPath));
  }

  ScratchDir scratch;
  std::string socketPath =
      scratch / "interfaces/{86937937-B00F-447F-99BC-3D572DF87786}/zarn-reader-sim";
  SimProcess sim;
};

TEST_F(UsbFrontTest, ServesTheIoControls) {
  InterfaceClient client;
  ASSERT_TRUE(client.Connect(socketPath));
  Bytes setup;
  for (std::uint32_t value : {20u, 20u, 0u})
    PutU32(setup, value);
  struct Case {
    const char* name;
    std::uint32_t code;
    std::uint32_t capacity;
    Bytes input;
    std::uint32_t status;
    Bytes output;
  };
  const Case cases[] = {
      {"set-up", kSetup, 0, setup, 0, {}},
      {"set-up with other values", kSetup, 0, {1, 2, 3}, 87, {}},
      {"version", kTransceive, 1024, {0x64}, 0, {0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x01}},
      {"serial number", kTransceive, 1024, {0x22}, 0, {0x00, 0x78, 0x56, 0x34, 0x12}},
      {"reader refuses", kTransceive, 1024, {0x99}, 0, {0x01}},
      {"output larger than the capacity", kTransceive, 6, {0x64}, 122, {}},
      {"unknown control", 0x00220000, 1024, {0x64}, 1, {}},
  };
  std::uint32_t requestId = 0x10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto reply = client.Control(c.code, ++requestId, c.capacity, c.input);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->requestId, requestId);
    EXPECT_EQ(reply->status, c.status);
    EXPECT_EQ(reply->output, c.output);
  }
  ASSERT_TRUE(client.SendRaw({1, 2, 3}));
  const auto shortReply = client.Receive();
  ASSERT_TRUE(shortReply);
  EXPECT_EQ(shortReply->status, 87u);
}

TEST_F(UsbFrontTest, InterfaceLeavesDuringARestartAndComesBackInTheLoader) {
  InterfaceClient client;
  ASSERT_TRUE(client.Connect(socketPath));
  const auto answer = client.Control(kTransceive, 1, 1024,
                                     {0x73, 0x75, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->output, Bytes{0x00});
  EXPECT_TRUE(client.Closed());
  EXPECT_FALSE(PathExists(socketPath));
  bool back = false;
  for (int waited = 0; waited < 3000 && !back; waited += 20) {
    SleepMs(20);
    back = PathExists(socketPath);
  }
  ASSERT_TRUE(back);
  InterfaceClient again;
  ASSERT_TRUE(again.Connect(socketPath));
  const auto version = again.Control(kTransceive, 2, 1024, {0x64});
  ASSERT_TRUE(version);
  EXPECT_EQ(version->output, (Bytes{0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x00}));
}

}  // namespace
}  // namespace zarn::sim::test

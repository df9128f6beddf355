// The USB driver channel front: the reader's device interface as a SOCK_SEQPACKET socket in the
// device-interface directory of the reader's interface class. One I/O control is one message
// each way. While the reader restarts the socket file is gone and every connection is closed,
// as a USB device leaves the bus.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "sim/fronts.h"
#include "sim/message_server.h"
#include "sim/reply_queue.h"

namespace zarn::sim {
namespace {

constexpr const char* kInterfaceClass = "{86937937-B00F-447F-99BC-3D572DF87786}";
constexpr std::uint32_t kIoctlChannelSetup = 0x8000202C;
constexpr std::uint32_t kIoctlChannelTransceive = 0x2A0018;
constexpr std::size_t kRequestHeader = 12;  // control code, request id, output capacity

// Windows system error codes in the reply's status field.
constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;

std::uint32_t ReadU32(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

void PutU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::vector<std::uint8_t> ReplyMessage(std::uint32_t requestId, std::uint32_t status,
                                       std::span<const std::uint8_t> output = {}) {
  std::vector<std::uint8_t> message;
  PutU32(message, requestId);
  PutU32(message, status);
  message.insert(message.end(), output.begin(), output.end());
  return message;
}

bool MakeDirectories(const std::string& path, std::string& error) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

class UsbFront : public Front {
 public:
  UsbFront(Reader& reader, Transcript& transcript, const SimConfig& config)
      : reader_(reader),
        transcript_(transcript),
        directory_(config.usbRoot + "/" + kInterfaceClass),
        path_(directory_ + "/" + config.usbName) {}

  bool Open(std::string& error) {
    return MakeDirectories(directory_, error) && server_.Listen(path_, error);
  }

  void Update(std::int64_t nowMs) override {
    while (auto due = replies_.PopDue(NowUs())) {
      if (!due->reply.drop) server_.Send(due->connection, due->message);
      reader_.Deliver(due->reply, nowMs);
    }
    FollowPresence(nowMs);
  }

  void Collect(PollSet& set, std::int64_t) override {
    set.WakeAtUs(replies_.NextDueUs());
    server_.Collect(set, [this](std::uint32_t client, std::span<const std::uint8_t> message) {
      OnMessage(client, message);
    });
  }

  std::string Describe() const override { return "usb: " + path_; }

 private:
  void FollowPresence(std::int64_t nowMs) {
    const bool present = reader_.Present(nowMs);
    if (!present && server_.listening()) {
      server_.Close();
    } else if (present && !server_.listening()) {
      std::string error;
      if (!server_.Listen(path_, error)) transcript_.Line("usb: %s", error.c_str());
    }
  }

  void OnMessage(std::uint32_t client, std::span<const std::uint8_t> message) {
    if (message.size() < kRequestHeader) {
      server_.Send(client, ReplyMessage(0, kErrorInvalidParameter));
      return;
    }
    const std::uint32_t code = ReadU32(message, 0);
    const std::uint32_t requestId = ReadU32(message, 4);
    const std::uint32_t capacity = ReadU32(message, 8);
    const auto input = message.subspan(kRequestHeader);
    if (code == kIoctlChannelSetup) {
      const bool expected = input.size() == 12 && ReadU32(input, 0) == 20 &&
                            ReadU32(input, 4) == 20 && ReadU32(input, 8) == 0;
      server_.Send(client, ReplyMessage(requestId, expected ? 0 : kErrorInvalidParameter));
    } else if (code == kIoctlChannelTransceive) {
      Transceive(client, requestId, capacity, input);
    } else {
      server_.Send(client, ReplyMessage(requestId, kErrorInvalidFunction));
    }
  }

  void Transceive(std::uint32_t client, std::uint32_t requestId, std::uint32_t capacity,
                  std::span<const std::uint8_t> input) {
    const std::int64_t nowMs = NowMs();
    auto reply = reader_.Exchange(input, nowMs);
    if (!reply) return;  // cannot happen while connected: the socket goes with the reader
    const auto& bytes = reply->answer.bytes;
    PendingReply pending;
    pending.dueUs = (nowMs + reply->delayMs) * 1000;
    pending.connection = client;
    pending.message = bytes.size() <= capacity ? ReplyMessage(requestId, 0, bytes)
                                               : ReplyMessage(requestId, kErrorInsufficientBuffer);
    pending.reply = std::move(*reply);
    replies_.Push(std::move(pending));
  }

  Reader& reader_;
  Transcript& transcript_;
  std::string directory_;
  std::string path_;
  MessageServer server_;
  ReplyQueue replies_;
};

}  // namespace

std::unique_ptr<Front> OpenUsbFront(Reader& reader, Transcript& transcript, const SimConfig& config,
                                    std::string& error) {
  auto front = std::make_unique<UsbFront>(reader, transcript, config);
  if (!front->Open(error)) return nullptr;
  return front;
}

}  // namespace zarn::sim

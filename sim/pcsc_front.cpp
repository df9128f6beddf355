// The PC/SC front: the socket the simulator's IFD handler connects to from inside pcscd. The
// handler forwards the tool's escape requests (FF 70 C2 51 00 + command); the reader's answer
// goes back as status, data and the status word 90 00.

#include <algorithm>
#include <array>

#include "sim/fronts.h"
#include "sim/ifd/ifd_protocol.h"
#include "sim/message_server.h"
#include "sim/reply_queue.h"

namespace zarn::sim {
namespace {

constexpr std::array<std::uint8_t, 5> kEscapeHeader = {0xFF, 0x70, 0xC2, 0x51, 0x00};
constexpr std::array<std::uint8_t, 2> kStatusWordOk = {0x90, 0x00};
constexpr std::array<std::uint8_t, 2> kStatusWordCorrupt = {0x6F, 0x00};
// The answer to a request without the escape header: class not supported.
constexpr std::array<std::uint8_t, 2> kStatusWordNoHeader = {0x6E, 0x00};

class PcscFront : public Front {
 public:
  PcscFront(Reader& reader, Transcript& transcript, const SimConfig& config)
      : reader_(reader),
        transcript_(transcript),
        path_(config.pcscSocket),
        refuseEscape_(config.refuseEscape) {}

  bool Open(std::string& error) { return server_.Listen(path_, error); }

  void Update(std::int64_t nowMs) override {
    while (auto due = replies_.PopDue(NowUs())) {
      if (!due->reply.drop) server_.Send(due->connection, due->message);
      reader_.Deliver(due->reply, nowMs);
    }
  }

  void Collect(PollSet& set, std::int64_t) override {
    set.WakeAtUs(replies_.NextDueUs());
    server_.Collect(set, [this](std::uint32_t client, std::span<const std::uint8_t> message) {
      OnMessage(client, message);
    });
  }

  std::string Describe() const override { return "pcsc: " + path_; }

 private:
  void OnMessage(std::uint32_t client, std::span<const std::uint8_t> message) {
    const std::int64_t nowMs = NowMs();
    const bool present = reader_.Present(nowMs);
    if (message[0] != ifd::kEscape || !present) {
      const std::uint8_t state = present ? ifd::kReaderPresent : ifd::kReaderGone;
      server_.Send(client, std::span<const std::uint8_t>(&state, 1));
      return;
    }
    const auto request = message.subspan(1);
    if (refuseEscape_) {
      transcript_.Line("escape request refused by the driver: %s", HexBytes(request).c_str());
      const std::uint8_t refused = ifd::kEscapeRefused;
      server_.Send(client, std::span<const std::uint8_t>(&refused, 1));
      return;
    }
    std::vector<std::uint8_t> reply{ifd::kReaderPresent};
    if (request.size() < kEscapeHeader.size() ||
        !std::equal(kEscapeHeader.begin(), kEscapeHeader.end(), request.begin())) {
      transcript_.Line("escape request without its header: %s", HexBytes(request).c_str());
      reply.insert(reply.end(), kStatusWordNoHeader.begin(), kStatusWordNoHeader.end());
      server_.Send(client, reply);
      return;
    }
    auto answer = reader_.Exchange(request.subspan(kEscapeHeader.size()), nowMs);
    if (!answer) return;
    const auto& statusWord = answer->corruptCheck ? kStatusWordCorrupt : kStatusWordOk;
    reply.insert(reply.end(), answer->answer.bytes.begin(), answer->answer.bytes.end());
    reply.insert(reply.end(), statusWord.begin(), statusWord.end());
    PendingReply pending;
    pending.dueUs = (nowMs + answer->delayMs) * 1000;
    pending.connection = client;
    pending.message = std::move(reply);
    pending.reply = std::move(*answer);
    replies_.Push(std::move(pending));
  }

  Reader& reader_;
  Transcript& transcript_;
  std::string path_;
  bool refuseEscape_;
  MessageServer server_;
  ReplyQueue replies_;
};

}  // namespace

std::unique_ptr<Front> OpenPcscFront(Reader& reader, Transcript& transcript,
                                     const SimConfig& config, std::string& error) {
  auto front = std::make_unique<PcscFront>(reader, transcript, config);
  if (!front->Open(error)) return nullptr;
  return front;
}

}  // namespace zarn::sim

#pragma once
// A Unix-domain SOCK_SEQPACKET listener with its clients, as the PC/SC and USB fronts serve them:
// one message is one request, one message back is its reply. Clients are known by a number that
// is never reused, so a late reply cannot reach a newer client that got the same descriptor.

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>

#include "sim/event_loop.h"

namespace zarn::sim {

class MessageServer {
 public:
  using OnMessage =
      std::function<void(std::uint32_t client, std::span<const std::uint8_t> message)>;

  MessageServer() = default;
  MessageServer(const MessageServer&) = delete;
  MessageServer& operator=(const MessageServer&) = delete;
  ~MessageServer() { Close(); }

  // Replaces a socket left behind by an earlier run; refuses to replace anything else.
  bool Listen(const std::string& path, std::string& error);
  // Closes the listener and every client and removes the socket file.
  void Close();
  bool listening() const { return listener_ >= 0; }

  void Collect(PollSet& set, const OnMessage& onMessage);
  // False when the client has gone.
  bool Send(std::uint32_t client, std::span<const std::uint8_t> message);

 private:
  void Accept();
  void Receive(std::uint32_t client, const OnMessage& onMessage);
  void Drop(std::uint32_t client);

  std::string path_;
  int listener_ = -1;
  std::map<std::uint32_t, int> clients_;
  std::uint32_t nextClient_ = 1;
};

}  // namespace zarn::sim

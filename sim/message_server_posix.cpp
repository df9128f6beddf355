#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/message_server.h"

namespace zarn::sim {
namespace {

// Larger than any request the tool sends (a 258-byte block with its headers).
constexpr std::size_t kMaxMessage = 4096;

}  // namespace

bool MessageServer::Listen(const std::string& path, std::string& error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    error = "socket path too long: " + path;
    return false;
  }
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) {
      error = path + " exists and is not a socket";
      return false;
    }
    unlink(path.c_str());
  }
  listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 8) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
    return false;
  }
  path_ = path;
  return true;
}

// The file goes first: a client that sees its connection end finds no interface to reopen.
void MessageServer::Close() {
  if (listener_ >= 0) {
    unlink(path_.c_str());
    close(listener_);
    listener_ = -1;
  }
  for (const auto& [client, fd] : clients_) {
    close(fd);
  }
  clients_.clear();
}

void MessageServer::Collect(PollSet& set, const OnMessage& onMessage) {
  if (listener_ < 0) return;
  set.Add(listener_, POLLIN, [this](short) { Accept(); });
  for (const auto& [client, fd] : clients_) {
    const std::uint32_t id = client;
    set.Add(fd, POLLIN, [this, id, onMessage](short) { Receive(id, onMessage); });
  }
}

void MessageServer::Accept() {
  const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) clients_[nextClient_++] = fd;
}

void MessageServer::Receive(std::uint32_t client, const OnMessage& onMessage) {
  const auto found = clients_.find(client);
  if (found == clients_.end()) return;  // closed by an earlier callback of this turn
  std::vector<std::uint8_t> message(kMaxMessage);
  const ssize_t count = recv(found->second, message.data(), message.size(), 0);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) {
    Drop(client);
    return;
  }
  message.resize(static_cast<std::size_t>(count));
  onMessage(client, message);
}

bool MessageServer::Send(std::uint32_t client, std::span<const std::uint8_t> message) {
  const auto found = clients_.find(client);
  if (found == clients_.end()) return false;
  if (send(found->second, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
    Drop(client);
    return false;
  }
  return true;
}

void MessageServer::Drop(std::uint32_t client) {
  const auto found = clients_.find(client);
  if (found == clients_.end()) return;
  close(found->second);
  clients_.erase(found);
}

}  // namespace zarn::sim

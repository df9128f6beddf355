#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "tests/support/environment.h"
#include "tests/usb/fake_usb_driver.h"

namespace zarn::test {

namespace {

constexpr char kReaderClass[] = "{86937937-B00F-447F-99BC-3D572DF87786}";

std::uint32_t U32At(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void AppendU32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A listening (or, with listen false, an abandoned) socket at path.
int BindSocket(const std::string& path, bool listen) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      (listen && ::listen(fd, 8) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool HasHungUp(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  if ((entry.revents & (POLLHUP | POLLERR)) != 0) return true;
  std::uint8_t byte = 0;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

UsbInterfaceDirectory::UsbInterfaceDirectory() {
  char pattern[] = "/tmp/zarn-usb-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) root_ = pattern;
  classDirectory_ = root_ + "/" + kReaderClass;
  ::mkdir(classDirectory_.c_str(), 0700);
  SetEnvironment("ZARN_DEVICE_INTERFACES", root_.c_str());
}

UsbInterfaceDirectory::~UsbInterfaceDirectory() {
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

void UsbInterfaceDirectory::AddStaleInterface(const std::string& name) const {
  const int fd = BindSocket(PathOf(name), false);
  if (fd >= 0) ::close(fd);
}

FakeUsbDriver::FakeUsbDriver(const UsbInterfaceDirectory& directory, const std::string& name)
    : path_(directory.PathOf(name)) {
  listener_ = BindSocket(path_, true);
  if (::pipe(stopPipe_) != 0) stopPipe_[0] = stopPipe_[1] = -1;
  thread_ = std::thread([this] { Serve(); });
}

FakeUsbDriver::~FakeUsbDriver() {
  const char stop = 's';
  if (::write(stopPipe_[1], &stop, 1) != 1) {
    // The pipe cannot be full: this is its only write.
  }
  thread_.join();
  for (const int connection : connections_)
    ::close(connection);
  ::close(listener_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::unlink(path_.c_str());
}

void FakeUsbDriver::SetHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<UsbRequest> FakeUsbDriver::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int FakeUsbDriver::Connections() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

int FakeUsbDriver::MostAtOnce() const {
  std::lock_guard lock(mutex_);
  return mostAtOnce_;
}

bool FakeUsbDriver::AwaitEndedConnections(int count) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return ended_ >= count; });
}

void FakeUsbDriver::Serve() {
  for (;;) {
    std::vector<pollfd> entries{{stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const int connection : connections_)
      entries.push_back({connection, POLLIN, 0});
    if (::poll(entries.data(), entries.size(), -1) < 0) continue;
    if (entries[0].revents != 0) return;
    if (entries[1].revents != 0) Accept();
    for (std::size_t i = 2; i < entries.size(); ++i) {
      if (entries[i].revents != 0) ServeConnection(entries[i].fd);
    }
  }
}

void FakeUsbDriver::Accept() {
  const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return;
  int open = 1;
  for (const int earlier : connections_)
    open += HasHungUp(earlier) ? 0 : 1;
  connections_.push_back(connection);
  std::lock_guard lock(mutex_);
  ++accepted_;
  mostAtOnce_ = std::max(mostAtOnce_, open);
}

void FakeUsbDriver::ServeConnection(int connection) {
  Bytes message(64 * 1024);
  const ssize_t received = ::recv(connection, message.data(), message.size(), MSG_DONTWAIT);
  if (received < 0) return;
  if (received < 12) {  // the end of the connection, or no request at all
    std::erase(connections_, connection);
    ::close(connection);
    std::lock_guard lock(mutex_);
    ++ended_;
    changed_.notify_all();
    return;
  }
  UsbRequest request{U32At(&message[0]), U32At(&message[4]), U32At(&message[8]),
                     Bytes(message.begin() + 12, message.begin() + received)};
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    handler = handler_;
  }
  Reply(connection, request, handler ? handler(request) : UsbReply{});
}

void FakeUsbDriver::Reply(int connection, const UsbRequest& request, const UsbReply& reply) {
  if (reply.delayMs > 0 && !PauseMs(reply.delayMs)) return;
  Bytes message;
  switch (reply.kind) {
    case UsbReply::Kind::kSilent:
      return;
    case UsbReply::Kind::kHangUp:
      ::shutdown(connection, SHUT_RDWR);  // the connection then ends like any other
      return;
    case UsbReply::Kind::kIdOnly:
      AppendU32(message, request.requestId);
      break;
    case UsbReply::Kind::kAnswer:
      AppendU32(message, request.requestId);
      AppendU32(message, reply.status);
      message.insert(message.end(), reply.output.begin(), reply.output.end());
      break;
  }
  ::send(connection, message.data(), message.size(), MSG_NOSIGNAL);
}

bool FakeUsbDriver::PauseMs(std::uint32_t milliseconds) {
  pollfd entry{stopPipe_[0], POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(milliseconds)) == 0;
}

}  // namespace zarn::test

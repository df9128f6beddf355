// The USB driver channel on POSIX systems. No vendor driver exists there: a user-space driver
// serves each present reader interface as a Unix-domain SOCK_SEQPACKET socket in the
// device-interface directory, and one I/O control is one message each way
// (docs/usb-driver-channel.md).

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transport/usb_channel_platform.h"

namespace zarn {

namespace {

constexpr char kDefaultInterfaceRoot[] = "/run/zarn/device-interfaces";
constexpr char kReaderInterfaceClass[] = "{86937937-B00F-447F-99BC-3D572DF87786}";
constexpr std::size_t kRequestHeaderLength = 12;  // control code, request id, output capacity
constexpr std::size_t kReplyHeaderLength = 8;     // request id, status

using Clock = std::chrono::steady_clock;

struct ErrnoMapping {
  int errnoValue;
  std::uint32_t systemError;
};

// What an open failure means in the Windows terms the log line reports.
constexpr ErrnoMapping kOpenErrors[] = {
    {ENOENT, 2},         // ERROR_FILE_NOT_FOUND: no such interface
    {ECONNREFUSED, 2},   // a socket left behind by a driver that is gone
    {EACCES, 5},         // ERROR_ACCESS_DENIED
    {EPERM, 5},          //
    {EAGAIN, 170},       // ERROR_BUSY: the driver accepts no more connections
    {ENAMETOOLONG, 206}  // ERROR_FILENAME_EXCED_RANGE
};

std::uint32_t SystemErrorOf(int errnoValue) {
  for (const ErrnoMapping& mapping : kOpenErrors) {
    if (mapping.errnoValue == errnoValue) return mapping.systemError;
  }
  return system_error::kGenFailure;
}

std::string InterfaceDirectory() {
  const char* root = std::getenv("ZARN_DEVICE_INTERFACES");
  if (root == nullptr || *root == '\0') root = kDefaultInterfaceRoot;
  return std::string(root) + "/" + kReaderInterfaceClass;
}

bool IsSocket(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

void PutU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

bool IsDisconnect(int errnoValue) {
  return errnoValue == EPIPE || errnoValue == ECONNRESET || errnoValue == ENOTCONN;
}

// Milliseconds left until the deadline, for poll(); 0 once it has passed.
int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 0x7FFFFFFF));
}

// 0 when fd became ready for the events, kIoIncomplete when the deadline passed first.
std::uint32_t AwaitSocket(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, MsLeft(deadline));
    if (ready > 0) return 0;
    if (ready == 0) return system_error::kIoIncomplete;
    if (errno != EINTR) return system_error::kGenFailure;
  }
}

}  // namespace

struct UsbDevice {
  int socket = -1;
  std::uint32_t lastRequestId = 0;
};

void UsbDeviceCloser::operator()(UsbDevice* device) const {
  if (device->socket >= 0) ::close(device->socket);
  delete device;
}

struct UsbInterfaceSet {
  std::string directory;
  std::vector<std::string> names;  // the socket entries, sorted by name
};

void UsbInterfaceSetCloser::operator()(UsbInterfaceSet* set) const {
  delete set;
}

UsbInterfaceSetHandle OpenUsbInterfaceSet() {
  UsbInterfaceSetHandle set(new UsbInterfaceSet);
  set->directory = InterfaceDirectory();
  if (DIR* directory = ::opendir(set->directory.c_str()); directory != nullptr) {
    while (const dirent* entry = ::readdir(directory)) {
      const std::string name = entry->d_name;
      if (IsSocket(set->directory + "/" + name)) set->names.push_back(name);
    }
    ::closedir(directory);
  }
  std::sort(set->names.begin(), set->names.end());
  return set;
}

std::uint32_t UsbInterfacePath(UsbInterfaceSet& set, std::uint32_t position, std::string& path) {
  if (position >= set.names.size()) return system_error::kNoMoreItems;
  path = set.directory + "/" + set.names[position];
  return 0;
}

// Opening is connecting. The socket stays non-blocking so that a driver that stops reading
// or answering can never hold the tool beyond its time-outs.
UsbOpenOutcome OpenUsbDevice(const char* path, UsbDeviceHandle& device, std::uint32_t* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) {
    *error = system_error::kFilenameExcedRange;
    return UsbOpenOutcome::kOpenFailed;
  }
  std::strcpy(address.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = SystemErrorOf(errno);
    return UsbOpenOutcome::kOpenFailed;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = SystemErrorOf(errno);
    ::close(fd);
    return UsbOpenOutcome::kOpenFailed;
  }
  device.reset(new UsbDevice);
  device->socket = fd;
  return UsbOpenOutcome::kOpened;
}

namespace {

std::uint32_t SendRequest(int fd, const std::vector<std::uint8_t>& message,
                          Clock::time_point deadline) {
  for (;;) {
    if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return 0;
    if (IsDisconnect(errno)) return system_error::kDeviceNotConnected;
    if (errno == EMSGSIZE) return system_error::kInvalidParameter;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return system_error::kGenFailure;
    }
    if (const std::uint32_t waited = AwaitSocket(fd, POLLOUT, deadline); waited != 0) {
      return waited;
    }
  }
}

// One message from the driver: its length, 0 when the driver closed the connection, or -1
// with the failure in *error. *truncated tells that it did not fit the buffer.
ssize_t ReceiveMessage(int fd, std::vector<std::uint8_t>& buffer, bool* truncated,
                       std::uint32_t* error) {
  iovec part{buffer.data(), buffer.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
  *truncated = (message.msg_flags & MSG_TRUNC) != 0;
  *error = 0;
  if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    *error = IsDisconnect(errno) ? system_error::kDeviceNotConnected : system_error::kGenFailure;
  }
  return received;
}

// Takes the reply to requestId: its status, and its output copied into output. Replies to
// earlier, cancelled requests are discarded.
std::uint32_t AwaitReply(int fd, std::uint32_t requestId, std::uint8_t* output,
                         std::uint32_t outputCapacity, std::uint32_t* outputLength,
                         Clock::time_point deadline) {
  std::vector<std::uint8_t> buffer(kReplyHeaderLength + outputCapacity);
  for (;;) {
    if (const std::uint32_t waited = AwaitSocket(fd, POLLIN, deadline); waited != 0) {
      return waited;
    }
    bool truncated = false;
    std::uint32_t error = 0;
    const ssize_t received = ReceiveMessage(fd, buffer, &truncated, &error);
    if (received == 0) return system_error::kDeviceNotConnected;
    if (received < 0) {
      if (error != 0) return error;
      continue;
    }
    const auto length = static_cast<std::size_t>(received);
    if (length >= 4 && GetU32(buffer.data()) != requestId) {
      // A late reply to a cancelled request. A driver that floods them still cannot hold
      // the caller past the deadline.
      if (Clock::now() >= deadline) return system_error::kIoIncomplete;
      continue;
    }
    if (length < kReplyHeaderLength) return system_error::kInvalidData;
    const std::uint32_t count = static_cast<std::uint32_t>(length - kReplyHeaderLength);
    if (count > 0) std::memcpy(output, buffer.data() + kReplyHeaderLength, count);
    *outputLength = count;
    // More output than the caller has room for fails the control, as a Windows driver's
    // overflowing output does; only what fits was copied.
    if (truncated) return system_error::kMoreData;
    const std::uint32_t status = GetU32(buffer.data() + 4);
    // A pending status is no outcome: the driver broke the protocol.
    return status == system_error::kIoPending ? system_error::kInvalidData : status;
  }
}

}  // namespace

std::uint32_t UsbIoControl(UsbDevice& device, std::uint32_t code, const std::uint8_t* input,
                           std::uint32_t inputLength, std::uint8_t* output,
                           std::uint32_t outputCapacity, std::uint32_t* outputLength,
                           std::uint32_t timeoutMs) {
  *outputLength = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Id 0 is never used, so that a reply with a zeroed header is never taken for an answer.
  if (++device.lastRequestId == 0) ++device.lastRequestId;
  const std::uint32_t requestId = device.lastRequestId;

  std::vector<std::uint8_t> request(kRequestHeaderLength + inputLength);
  PutU32(request.data(), code);
  PutU32(request.data() + 4, requestId);
  PutU32(request.data() + 8, outputCapacity);
  if (inputLength > 0) std::memcpy(request.data() + kRequestHeaderLength, input, inputLength);

  if (const std::uint32_t sent = SendRequest(device.socket, request, deadline); sent != 0) {
    return sent;
  }
  return AwaitReply(device.socket, requestId, output, outputCapacity, outputLength, deadline);
}

}  // namespace zarn

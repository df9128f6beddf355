// The IFD handler pcscd loads for the simulated reader (reader.conf: DEVICENAME is the simulator's
// socket). It forwards the CCID escape requests to the simulator and reports the reader gone
// while the simulator says it restarts or cannot be reached, so that pcscd shows what a real
// reader leaving the bus would show.

extern "C" {
#include <PCSC/ifdhandler.h>  // declares the entry points without extern "C"
}

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ifd/ifd_protocol.h"

namespace {

// Longer than any answer delay a test gives the simulator; a lost answer ends the call here.
constexpr int kReplyTimeoutMs = 5000;
constexpr std::size_t kMaxReply = 4096;

struct Channel {
  std::string socketPath;
  int fd = -1;
};

std::mutex channelsMutex;  // pcscd calls from its polling thread and its client threads
std::map<DWORD, Channel> channels;

DWORD ReaderOf(DWORD lun) {
  return lun >> 16;
}

void Disconnect(Channel& channel) {
  if (channel.fd >= 0) close(channel.fd);
  channel.fd = -1;
}

bool Connect(Channel& channel) {
  if (channel.fd >= 0) return true;
  sockaddr_un address{};
  if (channel.socketPath.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, channel.socketPath.c_str(), channel.socketPath.size() + 1);
  channel.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (channel.fd < 0) return false;
  if (connect(channel.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Disconnect(channel);
    return false;
  }
  return true;
}

enum class Outcome { kAnswered, kUnreachable, kNoAnswer };

// One message to the simulator and its reply. A reply that does not come in time closes the
// connection, so that it cannot be taken for the answer of a later request.
Outcome Ask(DWORD lun, const std::vector<unsigned char>& request,
            std::vector<unsigned char>& reply) {
  std::lock_guard<std::mutex> lock(channelsMutex);
  const auto found = channels.find(ReaderOf(lun));
  if (found == channels.end()) return Outcome::kUnreachable;
  Channel& channel = found->second;
  for (int attempt = 0; attempt < 2; ++attempt) {  // a second try after a stale connection
    if (!Connect(channel)) return Outcome::kUnreachable;
    if (send(channel.fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
      Disconnect(channel);
      continue;
    }
    pollfd wait{channel.fd, POLLIN, 0};
    if (poll(&wait, 1, kReplyTimeoutMs) <= 0) {
      Disconnect(channel);
      return Outcome::kNoAnswer;
    }
    reply.resize(kMaxReply);
    const ssize_t count = recv(channel.fd, reply.data(), reply.size(), 0);
    if (count > 0) {
      reply.resize(static_cast<std::size_t>(count));
      return Outcome::kAnswered;
    }
    Disconnect(channel);  // the simulator went away; it may be back on the next try
  }
  return Outcome::kUnreachable;
}

// libccid's escape code, or the Windows class driver's when pcscd was started to stand in for it.
DWORD AcceptedEscapeCode() {
  static const DWORD code = [] {
    const char* driver = std::getenv(zarn::sim::ifd::kDriverVariable);
    return driver != nullptr && std::strcmp(driver, "windows") == 0
               ? zarn::sim::ifd::kWindowsEscapeControlCode
               : zarn::sim::ifd::kEscapeControlCode;
  }();
  return code;
}

RESPONSECODE PutByte(PDWORD length, PUCHAR value, UCHAR byte) {
  if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  *length = 1;
  value[0] = byte;
  return IFD_SUCCESS;
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  if (DeviceName == nullptr) return IFD_COMMUNICATION_ERROR;
  std::lock_guard<std::mutex> lock(channelsMutex);
  Channel& channel = channels[ReaderOf(Lun)];
  Disconnect(channel);
  channel.socketPath = DeviceName;
  return IFD_SUCCESS;  // the simulator may start later: until then the reader is absent
}

RESPONSECODE IFDHCreateChannel(DWORD, DWORD) {
  return IFD_COMMUNICATION_ERROR;  // the handler needs the socket path of DEVICENAME
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  std::lock_guard<std::mutex> lock(channelsMutex);
  const auto found = channels.find(ReaderOf(Lun));
  if (found != channels.end()) {
    Disconnect(found->second);
    channels.erase(found);
  }
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD, DWORD Tag, PDWORD Length, PUCHAR Value) {
  switch (Tag) {
    case TAG_IFD_SLOTS_NUMBER:
      return PutByte(Length, Value, 1);
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      return PutByte(Length, Value, 8);
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
      return PutByte(Length, Value, 0);
    case TAG_IFD_ATR:
      *Length = 0;  // never a card
      return IFD_SUCCESS;
    default:
      return IFD_ERROR_TAG;
  }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) {
  return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) {
  return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD, DWORD Action, PUCHAR, PDWORD AtrLength) {
  *AtrLength = 0;
  return Action == IFD_POWER_DOWN ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
}

RESPONSECODE IFDHTransmitToICC(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD RxLength,
                               PSCARD_IO_HEADER) {
  *RxLength = 0;
  return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  *pdwBytesReturned = 0;
  if (dwControlCode != AcceptedEscapeCode()) return IFD_ERROR_NOT_SUPPORTED;
  std::vector<unsigned char> request{zarn::sim::ifd::kEscape};
  if (TxBuffer != nullptr) request.insert(request.end(), TxBuffer, TxBuffer + TxLength);
  std::vector<unsigned char> reply;
  switch (Ask(Lun, request, reply)) {
    case Outcome::kUnreachable:
      return IFD_NO_SUCH_DEVICE;
    case Outcome::kNoAnswer:
      return IFD_RESPONSE_TIMEOUT;
    case Outcome::kAnswered:
      break;
  }
  if (reply[0] == zarn::sim::ifd::kEscapeRefused) return IFD_COMMUNICATION_ERROR;
  if (reply[0] != zarn::sim::ifd::kReaderPresent) return IFD_NO_SUCH_DEVICE;
  const std::size_t answerLength = reply.size() - 1;
  if (answerLength > RxLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(RxBuffer, reply.data() + 1, answerLength);
  *pdwBytesReturned = static_cast<DWORD>(answerLength);
  return IFD_SUCCESS;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  std::vector<unsigned char> reply;
  if (Ask(Lun, {zarn::sim::ifd::kAskPresence}, reply) != Outcome::kAnswered) {
    return IFD_NO_SUCH_DEVICE;
  }
  return reply[0] == zarn::sim::ifd::kReaderPresent ? IFD_ICC_NOT_PRESENT : IFD_NO_SUCH_DEVICE;
}

}  // extern "C"

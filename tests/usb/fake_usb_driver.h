#pragma once
// A user-space reader driver for tests: serves one reader interface as a SOCK_SEQPACKET socket
// in a device-interface directory, one message per I/O control each way, on a thread of its
// own. Each request is answered through a function of the request.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zarn::test {

using Bytes = std::vector<std::uint8_t>;

// A temporary device-interface root with the reader's class directory in it, made the
// channel's root (ZARN_DEVICE_INTERFACES) while the object lives.
class UsbInterfaceDirectory {
 public:
  UsbInterfaceDirectory();
  ~UsbInterfaceDirectory();
  UsbInterfaceDirectory(const UsbInterfaceDirectory&) = delete;
  UsbInterfaceDirectory& operator=(const UsbInterfaceDirectory&) = delete;

  // The class directory, where the interfaces' sockets lie.
  const std::string& Path() const { return classDirectory_; }
  std::string PathOf(const std::string& name) const { return classDirectory_ + "/" + name; }
  // A socket whose driver has gone: it is listed but refuses connections.
  void AddStaleInterface(const std::string& name) const;

 private:
  std::string root_;
  std::string classDirectory_;
};

struct UsbRequest {
  std::uint32_t controlCode = 0;
  std::uint32_t requestId = 0;
  std::uint32_t outputCapacity = 0;
  Bytes input;
};

struct UsbReply {
  // kIdOnly sends the request id alone, a reply too short to carry a status.
  enum class Kind { kAnswer, kSilent, kHangUp, kIdOnly };
  Kind kind = Kind::kAnswer;
  std::uint32_t status = 0;
  Bytes output;               // kAnswer: behind the request id and the status
  std::uint32_t delayMs = 0;  // before the reply is sent; the driver serves nothing meanwhile

  static UsbReply Answer(Bytes output, std::uint32_t status = 0) {
    UsbReply reply;
    reply.output = std::move(output);
    reply.status = status;
    return reply;
  }
  static UsbReply Of(Kind kind) {
    UsbReply reply;
    reply.kind = kind;
    return reply;
  }
};

class FakeUsbDriver {
 public:
  using Handler = std::function<UsbReply(const UsbRequest&)>;

  // Starts serving directory/name; every request is answered with status 0 and no output
  // until a handler is set.
  FakeUsbDriver(const UsbInterfaceDirectory& directory, const std::string& name);
  ~FakeUsbDriver();
  FakeUsbDriver(const FakeUsbDriver&) = delete;
  FakeUsbDriver& operator=(const FakeUsbDriver&) = delete;

  void SetHandler(Handler handler);

  std::vector<UsbRequest> Requests() const;
  int Connections() const;
  // The most connections that were open at once, counted when each was accepted.
  int MostAtOnce() const;
  // Waits (at most 5 s) until this many connections have ended.
  bool AwaitEndedConnections(int count) const;

 private:
  void Serve();
  void ServeConnection(int connection);
  void Accept();
  void Reply(int connection, const UsbRequest& request, const UsbReply& reply);
  bool PauseMs(std::uint32_t milliseconds);  // false when the driver is being stopped

  std::string path_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::vector<int> connections_;  // the serving thread's own
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Handler handler_;
  std::vector<UsbRequest> requests_;
  int accepted_ = 0;
  int ended_ = 0;
  int mostAtOnce_ = 0;
};

}  // namespace zarn::test

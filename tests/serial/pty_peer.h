#pragma once
// The far end of a pseudo-terminal, standing in for a reader on a COM port: the tool opens the
// slave (mapped through ZARN_COM<n>), the test reads and writes the master.

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zarn::test {

using Bytes = std::vector<std::uint8_t>;

class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  // Maps COM<portNumber> to this pty for the rest of the test.
  void MapAsCom(int portNumber) const;
  // The settings the tool gave the slave, as the master sees them.
  termios SlaveSettings() const;
  void Write(const Bytes& bytes) const;
  // Everything that arrives until nothing more comes for quietMs, or until maxMs have passed.
  Bytes ReadUntilQuiet(int quietMs, int maxMs = 5000) const;
  // Exactly count bytes, or fewer when maxMs pass first.
  Bytes ReadExactly(std::size_t count, int maxMs = 5000) const;
  // Hangs up the line, as an unplugged adapter would.
  void CloseMaster();
  int Master() const { return master_; }

 private:
  std::atomic<int> master_{-1};
  std::string slavePath_;
};

// A request frame as a reader takes it apart.
struct RequestFrame {
  std::uint8_t address = 0;
  std::uint8_t sequence = 0;
  Bytes payload;
  bool checkGood = false;
};

// The answer frame a reader sends: start, address, sequence, a skipped byte, status and data,
// check, end.
Bytes AnswerFrame(std::uint8_t address, std::uint8_t sequence, const Bytes& statusAndData);
// The escaped form of one byte inside a frame.
void AppendEscaped(Bytes& frame, std::uint8_t byte);

// A thread that collects request frames from the master and hands each to a handler, which
// answers through the pty (or not at all).
class FramePeer {
 public:
  using Handler = std::function<void(const RequestFrame&, Pty&)>;

  FramePeer(Pty& pty, Handler handler);
  ~FramePeer();
  FramePeer(const FramePeer&) = delete;
  FramePeer& operator=(const FramePeer&) = delete;

  std::vector<RequestFrame> Requests() const;
  // Waits until at least count requests have come in; false after maxMs.
  bool WaitForRequests(std::size_t count, int maxMs = 5000) const;

 private:
  void Run();
  void Take(std::uint8_t byte);

  Pty& pty_;
  Handler handler_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<RequestFrame> requests_;
  Bytes current_;
  bool inFrame_ = false;
  bool escape_ = false;
  std::thread thread_;
};

}  // namespace zarn::test

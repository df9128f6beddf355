#pragma once
// The simulated reader itself: its identity, its run mode (application or loader), the command
// set it answers and the image check of its loader. No I/O and no clock: the fronts carry the
// requests in and the answers out, and the Reader around this model times the restarts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/transcript.h"

namespace zarn::sim {

enum class RunMode { kApplication, kLoader };

// Status bytes of the reader's answers.
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusUnknownCommand = 0x01;
constexpr std::uint8_t kStatusBadLength = 0x02;
constexpr std::uint8_t kStatusWrongMode = 0x03;
constexpr std::uint8_t kStatusImageTooLarge = 0x04;
constexpr std::uint8_t kStatusBadParameter = 0x05;

using VersionBytes = std::array<std::uint8_t, 6>;  // bytes 1..6 of the answer to 'd'

struct ReaderIdentity {
  std::uint32_t partId = 0x70050346;  // AT32F403ACGT7
  std::uint32_t serialNumber = 0x12345678;
  // Byte 6 is the run-mode byte the application reports; the loader reports 0 there.
  VersionBytes version = {0x05, 0x43, 0x02, 0x01, 0x00, 0x01};
  // After a good image check; default: the old version with byte 1 incremented.
  std::optional<VersionBytes> newVersion;
  // The serial number the reader comes back with after a good image check (default: unchanged).
  std::optional<std::uint32_t> serialAfterUpgrade;
};

struct ReaderBehaviour {
  bool startInLoader = false;
  bool stayInLoader = false;        // after the trailer, whatever the check says
  std::size_t mcuAnswerLength = 7;  // 6 or 8 give a malformed identification answer
  std::map<std::uint32_t, std::uint8_t> blockStatus;  // block number (from 1) -> status
};

// The serial framing the reader listens with. After the baud command the loader follows the tool's
// divisor: any rate whose divisor 24000000 / (16 * rate) has that low byte is accepted.
struct LineRule {
  std::uint32_t baud = 9600;
  std::optional<std::uint8_t> divisor;
  char parity = 'N';  // 'N', 'O' or 'E'
  std::uint8_t stopBits = 1;

  bool AcceptsSpeed(std::uint32_t rate) const;
  bool Accepts(std::uint32_t rate, bool oddParity, bool twoStopBits) const;
  std::string Describe() const;  // "9600 O/2", "divisor 13 N/1"
};

struct LineConfig {
  std::uint32_t operationalBaud = 9600;
  char parity = 'N';
  std::uint8_t stopBits = 1;
};

// What happens once an answer has left the reader.
enum class AfterAnswer { kNothing, kChangeSpeed, kRestartIntoLoader, kRestartIntoApplication };

struct Answer {
  std::vector<std::uint8_t> bytes;  // status byte, then data
  AfterAnswer after = AfterAnswer::kNothing;
  std::uint8_t divisor = 0;  // kChangeSpeed
};

class ReaderModel {
 public:
  ReaderModel(const ReaderIdentity& identity, const ReaderBehaviour& behaviour,
              const LineConfig& line, Transcript& transcript);

  Answer Execute(std::span<const std::uint8_t> request);
  // The answer that asked for it has gone out.
  void ChangeSpeed(std::uint8_t divisor);
  // The reader is up again after a restart, in the given mode.
  void CompleteRestart(RunMode mode);

  RunMode mode() const { return mode_; }
  const LineRule& line() const { return line_; }
  std::uint32_t serialNumber() const { return serialNumber_; }
  const VersionBytes& version() const { return version_; }
  std::size_t bodyLength() const { return body_.size(); }

  // Command handlers, named in the command table.
  Answer Version(std::span<const std::uint8_t> request);
  Answer SerialNumber(std::span<const std::uint8_t> request);
  Answer IdentifyMcu(std::span<const std::uint8_t> request);
  Answer EnterLoader(std::span<const std::uint8_t> request);
  Answer CharTimeout(std::span<const std::uint8_t> request);
  Answer BaudRate(std::span<const std::uint8_t> request);
  Answer WriteBlock(std::span<const std::uint8_t> request);
  Answer FinishImage(std::span<const std::uint8_t> request);
  Answer WriteSerialNumber(std::span<const std::uint8_t> request);
  Answer DefaultParameters(std::span<const std::uint8_t> request);

 private:
  bool CheckImage(std::span<const std::uint8_t> trailer);
  void EnterMode(RunMode mode);

  ReaderIdentity identity_;
  ReaderBehaviour behaviour_;
  LineConfig lineConfig_;
  Transcript& transcript_;

  RunMode mode_ = RunMode::kApplication;
  LineRule line_;
  std::uint32_t serialNumber_;
  VersionBytes version_;
  std::vector<std::uint8_t> body_;  // the loader's image so far
  std::uint32_t blocksReceived_ = 0;
  bool upgradePending_ = false;  // a good image waits for the restart into the application
};

// "AT32F403ACGT7" or a number (decimal or 0x...); nullopt when neither.
std::optional<std::uint32_t> McuPartIdByName(const std::string& text);

}  // namespace zarn::sim

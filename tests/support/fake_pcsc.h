#pragma once
// A PC/SC service with one scripted reader, installed in place of the system's while an
// instance lives. The reader answers each escape request through a function of the request.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/pcsc.h"

namespace zarn::test {

using Bytes = std::vector<std::uint8_t>;

class FakePcsc {
 public:
  FakePcsc();
  ~FakePcsc();
  FakePcsc(const FakePcsc&) = delete;
  FakePcsc& operator=(const FakePcsc&) = delete;

  // Results of the calls; 0 = success.
  std::uint32_t establishResult = 0;
  std::uint32_t connectResult = 0;
  int connectFailuresLeft = 0;  // connects that fail with 0x8010000C before one succeeds
  std::uint32_t controlResult = 0;
  std::vector<std::string> readers;  // what the service lists
  // The answer to an escape request (the whole input, header included).
  std::function<Bytes(const Bytes& request)> answer = [](const Bytes&) { return Bytes{}; };

  std::vector<Bytes> requests;
  std::vector<std::uint32_t> controlCodes;
  std::vector<std::uint32_t> outputCapacities;
  std::vector<const char*> connectedNames;
  int disconnects = 0;
  int releases = 0;

 private:
  static const platform::PcscApi api;
};

// The same service reporting every answer through a reader's status word: the answer is the
// reader's status byte and data, followed by 90 00.
Bytes WithStatusWord(Bytes answer);

}  // namespace zarn::test

namespace zarn::test {
// Puts the process-wide link state (CommandBlock, PC/SC connection, path flag) back to start.
void ResetLinkState();
}  // namespace zarn::test

#pragma once
// A reader model for in-process tests of the upgrade: it answers the device command set the
// way a reader does, keeps the image it received and checks it like the demo firmware would
// (trailer = CRC-32 of the body and the body length, both little-endian).

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fake_pcsc.h"

namespace zarn::test {

class FakeReader {
 public:
  // The answer to one command (no escape header): status byte, then data.
  Bytes Answer(const Bytes& command);
  // Serves the reader through the fake PC/SC service, as its escape answers.
  void ServeThrough(FakePcsc& pcsc);

  std::uint32_t partId = 0x70050346;  // AT32F403ACGT7
  std::uint8_t serialNumber[4] = {0x11, 0x22, 0x33, 0x44};
  std::uint8_t version[6] = {0x01, 0x43, 0x10, 0x00, 0x80, 0x01};  // byte 6: in its application
  std::uint8_t newVersion[6] = {0x02, 0x43, 0x00, 0x00, 0x40, 0x01};
  std::uint8_t serialAfterUpgrade[4] = {0x11, 0x22, 0x33, 0x44};
  bool inLoader = false;
  std::size_t mcuAnswerLength = 7;
  int refuseBlock = -1;         // index of a block answered with a non-zero status
  bool failImageCheck = false;  // stay in the loader after the trailer

  Bytes image;  // the blocks received, in order
  bool imageAccepted = false;
  int restarts = 0;
  std::vector<Bytes> commands;  // every command received
  std::vector<std::uint8_t> defaultsFlags;
  std::vector<Bytes> serialWrites;

 private:
  void Restart(bool intoLoader);
  bool CheckImage(const Bytes& trailer) const;
  FakePcsc* pcsc_ = nullptr;
};

std::uint32_t Crc32(const Bytes& bytes);

}  // namespace zarn::test

// The reader's command set as a table: which request bytes select which handler, the exact
// request length each command has, and the run modes that accept it.

#include <array>
#include <cstddef>

#include "sim/reader_model.h"

namespace zarn::sim {
namespace {

struct CommandEntry {
  std::array<std::uint8_t, 2> code;
  std::size_t codeLength;
  std::size_t requestLength;
  bool inApplication;
  bool inLoader;
  Answer (ReaderModel::*handle)(std::span<const std::uint8_t>);
};

constexpr CommandEntry kCommands[] = {
    {{0x64, 0}, 1, 1, true, true, &ReaderModel::Version},               // 'd'
    {{0x22, 0}, 1, 1, true, true, &ReaderModel::SerialNumber},          // '"'
    {{0x73, 0x11}, 2, 3, true, true, &ReaderModel::IdentifyMcu},        // 's' 0x11 '6'
    {{0x73, 0x75}, 2, 10, true, true, &ReaderModel::EnterLoader},       // 's' 'u' + 8 x FF
    {{0x68, 0}, 1, 5, true, true, &ReaderModel::CharTimeout},           // 0x68 ...
    {{0x0F, 0}, 1, 2, true, true, &ReaderModel::BaudRate},              // 0x0F divisor
    {{0x73, 0x33}, 2, 258, false, true, &ReaderModel::WriteBlock},      // 's' '3' + block
    {{0x73, 0x77}, 2, 10, false, true, &ReaderModel::FinishImage},      // 's' 'w' + trailer
    {{0x73, 0xE7}, 2, 6, true, true, &ReaderModel::WriteSerialNumber},  // 's' 0xE7 + serial
    {{0x73, 0xFF}, 2, 3, true, true, &ReaderModel::DefaultParameters},  // 's' 0xFF + flag
};

const CommandEntry* FindCommand(std::span<const std::uint8_t> request) {
  for (const CommandEntry& entry : kCommands) {
    if (request.size() < entry.codeLength) continue;
    bool match = true;
    for (std::size_t i = 0; i < entry.codeLength; ++i)
      match = match && request[i] == entry.code[i];
    if (match) return &entry;
  }
  return nullptr;
}

Answer StatusOnly(std::uint8_t status) {
  return Answer{{status}, AfterAnswer::kNothing, 0};
}

}  // namespace

Answer ReaderModel::Execute(std::span<const std::uint8_t> request) {
  const CommandEntry* entry = FindCommand(request);
  if (entry == nullptr) return StatusOnly(kStatusUnknownCommand);
  if (request.size() != entry->requestLength) return StatusOnly(kStatusBadLength);
  const bool allowed = mode_ == RunMode::kApplication ? entry->inApplication : entry->inLoader;
  if (!allowed) return StatusOnly(kStatusWrongMode);
  return (this->*(entry->handle))(request);
}

}  // namespace zarn::sim

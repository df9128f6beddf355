#pragma once
// Sending one device command through the CommandBlock, and reading its answer safely.

#include <cstdint>
#include <initializer_list>

namespace zarn {

constexpr std::uint8_t kVersionRequest = 0x64;       // 'd': version and run mode
constexpr std::uint8_t kSerialNumberRequest = 0x22;  // '"': serial number

// Writes the bytes into the CommandBlock and exchanges them; 0 or a result code.
std::uint32_t SendRequest(std::initializer_list<std::uint8_t> bytes);
std::uint32_t SendRequest(const std::uint8_t* bytes, std::uint32_t length);
// Byte i of the last answer; 0 past its end, so that a short answer never shows stale bytes.
std::uint8_t AnswerByte(std::uint32_t index);
std::uint32_t AnswerLength();

}  // namespace zarn

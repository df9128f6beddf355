#pragma once
// The upgrade driver's own result codes (the link's codes pass through unchanged).

#include <cstdint>

namespace zarn {

constexpr std::uint32_t kResultUsage = 1;            // first argument does not begin with "COM"
constexpr std::uint32_t kResultBadPort = 2;          // no port number after "COM"
constexpr std::uint32_t kResultBadCharTimeout = 3;   // Char_Timeout outside 4..254
constexpr std::uint32_t kResultBadBaudrate = 4;      // a baud rate of 0 or not a number
constexpr std::uint32_t kResultBadAddress = 5;       // a bus address that is not a number
constexpr std::uint32_t kResultBadLinkBaudrate = 6;  // a rate the reader's divisor cannot express
constexpr std::uint32_t kResultMcuAnswerLength = 11;
constexpr std::uint32_t kResultMcuStatus = 12;
constexpr std::uint32_t kResultWrongHex = 13;  // also: part id not in the catalogue
constexpr std::uint32_t kResultIncompatible = 15;
constexpr std::uint32_t kResultOldFirmware = 17;
constexpr std::uint32_t kResultBlockAnswerLength = 21;
constexpr std::uint32_t kResultBlockRefused = 22;
constexpr std::uint32_t kResultStillApplication = 31;
constexpr std::uint32_t kResultStillLoader = 32;
constexpr std::uint32_t kResultTerminated = 37;
constexpr std::uint32_t kResultTransferIncomplete = 41;

}  // namespace zarn

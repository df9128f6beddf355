#pragma once
// Between the IFD handler (inside pcscd) and the simulator: one SOCK_SEQPACKET message each way.
// Request: one kind byte, then for an escape the whole escape request as the tool sent it.
// Reply: one state byte, then for an escape the reader's answer (status, data, 90 00).

#include <cstdint>

namespace zarn::sim::ifd {

constexpr std::uint8_t kAskPresence = 1;
constexpr std::uint8_t kEscape = 2;

constexpr std::uint8_t kReaderPresent = 0;
constexpr std::uint8_t kReaderGone = 1;  // restarting: the handler reports IFD_NO_SUCH_DEVICE
// A CCID driver that has not been allowed escape commands: the handler answers as libccid does,
// IFD_COMMUNICATION_ERROR (the tool sees SCARD_E_NOT_TRANSACTED).
constexpr std::uint8_t kEscapeRefused = 2;

// The CCID escape control code under pcsc-lite, SCARD_CTL_CODE(1); the handler refuses others.
constexpr std::uint32_t kEscapeControlCode = 0x42000001;

}  // namespace zarn::sim::ifd

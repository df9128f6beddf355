#pragma once
// Result codes of the device link: the Windows smart-card values it reports, and the Windows
// system codes the transfer engine adds.

#include <cstdint>

namespace zarn {

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t SCARD_F_INTERNAL_ERROR = 0x80100001;  // reader status byte not 0
constexpr std::uint32_t SCARD_E_INVALID_PARAMETER = 0x80100004;
constexpr std::uint32_t SCARD_F_COMM_ERROR = 0x80100013;
constexpr std::uint32_t SCARD_E_NOT_TRANSACTED = 0x80100016;
constexpr std::uint32_t SCARD_E_READER_UNAVAILABLE = 0x80100017;
constexpr std::uint32_t SCARD_E_NO_READERS_AVAILABLE = 0x8010002E;
constexpr std::uint32_t SCARD_E_COMM_DATA_LOST = 0x8010002F;

constexpr std::uint32_t ERROR_BUSY_CODE = 170;
constexpr std::uint32_t ERROR_IO_INCOMPLETE_CODE = 996;
constexpr std::uint32_t ERROR_IO_PENDING_CODE = 997;
constexpr std::uint32_t ERROR_TIMEOUT_CODE = 1460;
constexpr std::uint32_t ERROR_INVALID_HANDLE_STATE_CODE = 1609;

}  // namespace zarn

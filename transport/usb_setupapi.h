#pragma once
// The Windows SetupAPI calls behind the USB channel's device search, as a table that tests
// replace to present interfaces the machine does not have (Wine's SetupAPI finds none). The
// types are the API's, passed as opaque pointers so that no Windows header is needed here:
// set = HDEVINFO, interfaceData = SP_DEVICE_INTERFACE_DATA*, detail =
// SP_DEVICE_INTERFACE_DETAIL_DATA_A*. Each call reports its failure through GetLastError, as
// the API does. Used by the Windows build only.

#include <cstdint>

namespace zarn {

struct SetupApiCalls {
  // SetupDiGetClassDevsA for the reader's interface class, present devices only;
  // INVALID_HANDLE_VALUE when the set cannot be had.
  void* (*getClassDevs)();
  // SetupDiEnumDeviceInterfaces at a position of the set.
  bool (*enumInterface)(void* set, std::uint32_t position, void* interfaceData);
  // SetupDiGetDeviceInterfaceDetailA: the size query (detail null, size 0) or the fetch.
  bool (*getInterfaceDetail)(void* set, void* interfaceData, void* detail, std::uint32_t detailSize,
                             std::uint32_t* requiredSize);
  // SetupDiDestroyDeviceInfoList.
  void (*destroyList)(void* set);
};

// nullptr puts the system's SetupAPI back.
void UseSetupApiCalls(const SetupApiCalls* calls);

}  // namespace zarn

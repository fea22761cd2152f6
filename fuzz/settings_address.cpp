// The player's address as DirectPlay hands it over: any bytes must be refused or read
// without going past their end.
#include <cstddef>
#include <cstdint>
#include <span>

#include "sidelink/settings_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)qd::PlayerInetAddress(std::span<const uint8_t>(data, size));
    return 0;
}

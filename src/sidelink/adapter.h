#pragma once
// One network adapter of this machine, as adapter discovery lists it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qd {

struct AdapterEntry {
    int32_t ifIndex = 0;             // interface index
    std::string description;         // the interface name on Linux
    int32_t ifType = 0;              // MIB-II ifType (6 Ethernet, 24 loopback, ...)
    std::array<uint8_t, 6> macAddress{};
    uint32_t address = 0;            // IPv4, network byte order in memory
    uint32_t netmask = 0;            // network byte order in memory
    int excluded = 0;                // never serves as the host's address (set by discovery)
    int ignored = 0;                 // listed in the user preferences
    int hasAddress = 0;              // an IPv4 address was joined to it
};

using AdapterList = std::vector<AdapterEntry>;

}  // namespace qd

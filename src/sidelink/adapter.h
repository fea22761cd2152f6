#pragma once
// One network adapter of this machine, as adapter discovery lists it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qd {

struct AdapterEntry {
    uint32_t index = 0;              // interface index
    std::string description;         // the interface name on Linux
    uint32_t type = 0;               // MIB-II ifType (6 Ethernet, 24 loopback, ...)
    std::array<uint8_t, 6> macAddress{};
    uint32_t ipAddress = 0;          // IPv4, network byte order as read from the table
    uint32_t netMask = 0;
    int excluded = 0;                // set by discovery
    int ignored = 0;                 // set by the user preferences
};

using AdapterList = std::vector<AdapterEntry>;

}  // namespace qd

#pragma once
// The machine's network adapters with their IPv4 addresses, built once at start-up; the
// host announces the address of the first adapter that is neither ignored nor excluded.
#include <cstdint>
#include <string>
#include <vector>

#include "sidelink/adapter.h"
#include "sidelink/net_tables.h"

namespace qd {

// Rebuilds adapterList from the interface and address tables: interfaces in table order,
// each with the last address the address table gives it; interfaces without an IPv4
// address are dropped, and the loopback, broadcast and dial-up adapters are marked
// excluded. Returns the number of adapters, 0 when a table cannot be read (the list then
// keeps what was built before the failure). failure, when given, receives the reason of
// a 0 that comes from an unreadable table, for the operator; it is emptied otherwise.
int DiscoverAdapters(NetTableSource& source, AdapterList& adapterList, std::string* failure = nullptr);

// The dial-up adapter's MAC address, 44-45-53-54-61-70.
bool IsDialUpMac(const std::array<uint8_t, 6>& mac);

// The address the host announces: the first usable adapter's, else 127.0.0.1. The
// index of that adapter in the list, or -1 for the fallback.
struct HostAddressChoice {
    uint32_t address = 0;  // network byte order in memory
    int adapterIndex = -1;
};
HostAddressChoice ChooseHostAddress(const AdapterList& adapterList);

// "00-a0-c9-12-34-56": the form IGNORED_ADAPTERS takes in the user preferences.
std::string FormatMacAddress(const std::array<uint8_t, 6>& mac);

// Plain data for `quarneld check`: every adapter found with its marks, and the address
// the host would announce.
struct AdapterReportRow {
    int32_t ifIndex = 0;
    std::string description;
    int32_t ifType = 0;
    std::string macAddress;  // as FormatMacAddress
    std::string address;     // dotted
    std::string netmask;     // dotted
    bool ignored = false;
    bool excluded = false;
    bool announced = false;  // the adapter whose address the host announces
};
struct AdapterReport {
    std::vector<AdapterReportRow> adapters;
    std::string discoveryFailure;   // why the tables could not be read; empty when they were
    std::string announcedAddress;   // dotted
    bool loopbackFallback = false;  // no usable adapter: 127.0.0.1
};
AdapterReport SummarizeAdapters(const AdapterList& adapterList, const std::string& discoveryFailure = {});

}  // namespace qd

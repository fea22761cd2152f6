#include "sidelink/adapter_discovery.h"

#include <cstdio>

namespace qd {

bool IsDialUpMac(const std::array<uint8_t, 6>& mac) {
    return mac == std::array<uint8_t, 6>{0x44, 0x45, 0x53, 0x54, 0x61, 0x70};
}

int DiscoverAdapters(NetTableSource& source, AdapterList& adapterList, std::string* failure) {
    adapterList.clear();
    if (failure != nullptr) failure->clear();

    std::vector<InterfaceRow> interfaces;
    if (!source.interfaces(interfaces)) {
        if (failure != nullptr) *failure = "the network interface table could not be read";
        return 0;
    }
    for (auto& row : interfaces) {
        AdapterEntry entry;
        entry.ifIndex = row.ifIndex;
        entry.description = std::move(row.description);
        entry.ifType = row.ifType;
        entry.macAddress = row.macAddress;
        adapterList.push_back(std::move(entry));
    }

    std::vector<Ipv4AddressRow> addresses;
    if (!source.addresses(addresses)) {
        if (failure != nullptr) *failure = "the IPv4 address table could not be read";
        return 0;
    }
    // Address table order decides: a later address of the same interface wins.
    for (const auto& a : addresses) {
        for (auto& entry : adapterList) {
            if (entry.ifIndex != a.ifIndex) continue;
            entry.address = a.address;
            entry.netmask = a.netmask;
            entry.hasAddress = 1;
        }
    }
    std::erase_if(adapterList, [](const AdapterEntry& e) { return e.hasAddress == 0; });

    const uint32_t loopback = MakeAddress(127, 0, 0, 1);
    const uint32_t broadcast = MakeAddress(255, 255, 255, 255);
    for (auto& entry : adapterList) {
        if (IsDialUpMac(entry.macAddress) || entry.address == loopback || entry.address == broadcast)
            entry.excluded = 1;
    }
    return static_cast<int>(adapterList.size());
}

HostAddressChoice ChooseHostAddress(const AdapterList& adapterList) {
    for (std::size_t i = 0; i < adapterList.size(); ++i) {
        const AdapterEntry& e = adapterList[i];
        if (e.ignored == 0 && e.excluded == 0 && e.address != 0)
            return HostAddressChoice{e.address, static_cast<int>(i)};
    }
    return HostAddressChoice{MakeAddress(127, 0, 0, 1), -1};
}

std::string FormatMacAddress(const std::array<uint8_t, 6>& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%2.2x-%2.2x-%2.2x-%2.2x-%2.2x-%2.2x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return text;
}

AdapterReport SummarizeAdapters(const AdapterList& adapterList, const std::string& discoveryFailure) {
    AdapterReport report;
    report.discoveryFailure = discoveryFailure;
    HostAddressChoice choice = ChooseHostAddress(adapterList);
    for (std::size_t i = 0; i < adapterList.size(); ++i) {
        const AdapterEntry& e = adapterList[i];
        AdapterReportRow row;
        row.ifIndex = e.ifIndex;
        row.description = e.description;
        row.ifType = e.ifType;
        row.macAddress = FormatMacAddress(e.macAddress);
        row.address = DottedAddress(e.address);
        row.netmask = DottedAddress(e.netmask);
        row.ignored = e.ignored != 0;
        row.excluded = e.excluded != 0;
        row.announced = choice.adapterIndex == static_cast<int>(i);
        report.adapters.push_back(std::move(row));
    }
    report.announcedAddress = DottedAddress(choice.address);
    report.loopbackFallback = choice.adapterIndex < 0;
    return report;
}

}  // namespace qd

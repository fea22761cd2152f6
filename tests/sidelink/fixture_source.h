#pragma once
// Table sources for the side-link tests: recorded fixtures and scripted tables.
#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include "sidelink/net_tables.h"

namespace qd::test {

inline std::filesystem::path FixtureDir() {
    return std::filesystem::path(QUARNELD_SOURCE_DIR) / "tests" / "sidelink" / "fixtures";
}

inline std::string ReadFixture(const std::string& name) {
    std::string text;
    ReadSmallFile(FixtureDir() / name, 1 << 20, text);
    return text;
}

// Interfaces and addresses as recorded on a machine; TCP tables handed out one per read.
class ScriptedSource : public NetTableSource {
public:
    std::vector<InterfaceRow> interfaceRows;
    std::vector<Ipv4AddressRow> addressRows;
    bool interfacesFail = false;
    bool addressesFail = false;
    // Each read takes the next table; an empty optional stands for a read that fails.
    std::deque<std::optional<std::vector<NetEntry>>> tcpTables;
    HostNameInfo host{"gamehost", true, {}, {}};
    bool hostNameFails = false;

    bool interfaces(std::vector<InterfaceRow>& out) override {
        if (interfacesFail) return false;
        out = interfaceRows;
        return true;
    }
    bool addresses(std::vector<Ipv4AddressRow>& out) override {
        if (addressesFail) return false;
        out = addressRows;
        return true;
    }
    bool tcpConnections(std::vector<NetEntry>& out) override {
        if (tcpTables.empty()) return false;
        auto next = std::move(tcpTables.front());
        tcpTables.pop_front();
        if (!next) return false;
        out = std::move(*next);
        return true;
    }
    bool hostName(HostNameInfo& out) override {
        if (hostNameFails) return false;
        out = host;
        return true;
    }

    // The recorded interface and address fixtures.
    void LoadRecordedAdapters() {
        std::vector<LinkRecord> links;
        ReadSysClassNet(FixtureDir() / "sys_class_net", links);
        std::vector<AddressRecord> records;
        ParseIpAddrShow(ReadFixture("ip_addr_show.txt"), records);
        addressRows = BuildAddressTable(records, links);
        interfaceRows = BuildInterfaceTable(std::move(links));
    }
};

}  // namespace qd::test

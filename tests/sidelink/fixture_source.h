#pragma once
// Table sources for the side-link tests: recorded fixtures and scripted tables.
#include <deque>
#include <optional>

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

// Tables as set, or a failed read where asked; TCP tables are handed out one per read,
// an empty optional standing for a read that fails.
struct ScriptedSource : NetTableSource {
    std::vector<InterfaceRow> interfaceRows;
    std::vector<Ipv4AddressRow> addressRows;
    std::deque<std::optional<std::vector<NetEntry>>> tcpTables;
    HostNameInfo host{"gamehost", true, {}, {}};
    bool interfacesFail = false, addressesFail = false, hostNameFails = false;

    bool interfaces(std::vector<InterfaceRow>& out) override { return !interfacesFail && (out = interfaceRows, true); }
    bool addresses(std::vector<Ipv4AddressRow>& out) override { return !addressesFail && (out = addressRows, true); }
    bool hostName(HostNameInfo& out) override { return !hostNameFails && (out = host, true); }
    bool tcpConnections(std::vector<NetEntry>& out) override {
        const auto next = tcpTables.empty() ? std::nullopt : std::move(tcpTables.front());
        if (!tcpTables.empty()) tcpTables.pop_front();
        return next && (out = *next, true);
    }
};

}  // namespace qd::test

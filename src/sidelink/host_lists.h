#pragma once
// The host's address and its connection lists. Connections that existed before the
// session opened are ignored; those that appeared while it opened are the host's own
// ports; the established connections left over later point at the clients' DirectPlay
// ports. Every list is also written to quarneld/xconnect.txt for diagnosis.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sidelink/adapter.h"
#include "sidelink/net_tables.h"

namespace qd {

// The DirectPlay enumeration port: its listener belongs to the host in any case.
constexpr int32_t kDirectPlayEnumPort = 47624;

// WriteList flags.
constexpr int kWriteListFirst = 1;      // truncate the file, heading "Ignored sockets"
constexpr int kWriteListHostPorts = 2;  // headings "QUARNELD ports" and "Connection info"

// The name the connection-list file gives a MIB-II state number.
const char* TcpStateName(int32_t state);

// One line of the connection-list file for an entry (with its "\n").
std::string FormatNetEntryLine(const NetEntry& entry);

class SideLinkState {
public:
    // workDir: the host's working directory; the file goes to workDir/quarneld/xconnect.txt.
    SideLinkState(NetTableSource& source, std::filesystem::path workDir);

    // Filled once at start-up by DiscoverAdapters; the user preferences mark `ignored`.
    AdapterList adapterList;

    // Builds adapterList from the table source.
    int DiscoverAdapters();
    // Why the last DiscoverAdapters found no tables; empty when it could read them.
    const std::string& discoveryFailure() const { return discoveryFailure_; }

    // 0, or 1 when the connection table cannot be read (newList is then empty).
    int BuildNewNetList();
    // Just before the session opens: chooses the host address, ignores every connection
    // of this moment and the enumeration listener. 1 when the table cannot be read.
    int BuildIgnoreList();
    // Just after the session opened: the new connections give the host's ports.
    int RecordHostPorts();
    // Before each side-link attempt: the client connections become portList. 1 when the
    // table cannot be read (portList stays as it was).
    int GetPort();
    void WriteList(const std::vector<NetEntry>& list, int flags);

    const std::vector<NetEntry>& newList() const { return newList_; }
    const std::vector<NetEntry>& ignoreList() const { return ignoreList_; }
    const std::vector<NetEntry>& portList() const { return portList_; }
    uint16_t hostPort1() const { return hostPort1_; }
    uint16_t hostPort2() const { return hostPort2_; }
    uint32_t hostAddress() const { return hostAddress_; }  // network byte order in memory
    const std::string& hostAddressText() const { return hostAddressText_; }
    std::filesystem::path listFilePath() const;

private:
    int ReadTable();
    void FilterIgnored();
    void WriteHostSection();

    NetTableSource& source_;
    std::filesystem::path workDir_;
    std::string discoveryFailure_;
    std::vector<NetEntry> newList_;
    std::vector<NetEntry> ignoreList_;
    std::vector<NetEntry> portList_;
    uint16_t hostPort1_ = 0;
    uint16_t hostPort2_ = 0;
    uint32_t hostAddress_;
    std::string hostAddressText_ = "127.0.0.1";
};

}  // namespace qd

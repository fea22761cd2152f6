// Feeds arbitrary text to the /proc/net/tcp and tcp6 readers and checks what they let
// through.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sidelink/net_tables.h"

namespace {

void Check(const qd::TcpParseResult& r) {
    if (r.rows.size() > qd::kMaxTcpRows) std::abort();
    for (const qd::NetEntry& e : r.rows) {
        if (e.state < qd::kTcpClosed || e.state > qd::kTcpDeleteTcb) std::abort();
        if (e.localPort < 0 || e.localPort > 0xFFFF || e.remotePort < 0 || e.remotePort > 0xFFFF) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Check(qd::ParseProcNetTcp(text));
    Check(qd::ParseProcNetTcp6(text));
    return 0;
}

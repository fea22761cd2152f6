// The stream framer fed in chunk sizes chosen by the input: it must deliver the
// stream's bytes in order and unchanged, each message exactly as long as its size
// word says, and never hold more than its limit.
#include <cstdint>
#include <cstdlib>
#include <random>

#include "session/dplay/framer.h"

using namespace qd::dplay;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::minstd_rand rng(data[0] | data[1] << 8);
    ByteView stream(data + 2, size - 2);
    StreamFramer framer(data[0] & 1 ? 4096 : StreamFramer::kDefaultLimit);
    std::size_t delivered = 0;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        std::size_t n = std::min<std::size_t>(rng() % 97, stream.size() - pos);
        auto st = framer.feed(stream.subspan(pos, n), [&](ByteView m) {
            uint32_t word = uint32_t(m[0]) | uint32_t(m[1]) << 8 | uint32_t(m[2]) << 16 | uint32_t(m[3]) << 24;
            if ((word & kMaxWireSize) != m.size() || m.size() < kPrefixSize || m.size() > framer.limit()) std::abort();
            for (std::size_t i = 0; i < m.size(); ++i)
                if (m[i] != stream[delivered + i]) std::abort();
            delivered += m.size();
            (void)decodeFrame(m);
        });
        if (framer.buffered() > framer.limit()) std::abort();
        if (st == StreamFramer::Status::Refused) break;
        pos += n;
    }
    if (delivered > stream.size()) std::abort();
    return 0;
}

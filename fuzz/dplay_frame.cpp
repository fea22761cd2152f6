// Every DirectPlay decoder on arbitrary bytes: none may read out of bounds, and a
// frame that decodes must encode to bytes that decode to the same encoding again.
#include <cstdint>
#include <cstdlib>

#include "session/dplay/wire.h"

using namespace qd::dplay;

namespace {

void checkStable(const Frame& f, bool noIds) {
    EncodeContext ctx{f.header.token, f.header.sockAddr, f.header.version};
    Bytes once = encode(ctx, f.message);
    if (once.empty()) return;  // beyond the size field: nothing to compare
    auto again = decodeFrame(once, noIds);
    if (!again) std::abort();
    if (encode(ctx, again->message) != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteView in(data, size);
    for (bool noIds : {false, true}) {
        if (auto f = decodeFrame(in, noIds); f && size < 65536) checkStable(*f, noIds);
        (void)decodeBarePlayerMessage(in, noIds);
        (void)decodeWrappedPlayerMessage(in, noIds);
    }
    (void)decodeHeader(in);
    (void)decodeSpData(in);
    {
        Reader r(in);
        (void)readPackedPlayer(r);
    }
    {
        Reader r(in);
        while (r.ok() && !r.atEnd())
            if (!readSuperPackedPlayer(r)) break;
    }
    {
        Reader r(in);
        (void)readSessionDesc(r);
    }
    return 0;
}

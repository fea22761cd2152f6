// The hash-chain compressor against the reference search on arbitrary content: the
// streams must be identical and decode back to the content. The same bytes are also
// fed to the decoder as a stream, with a length taken from the first two bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/compress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reference search is quadratic in the window; past 6 KiB it only slows the run
    // (the window and several blocks are covered well below that).
    if (size > 6144) size = 6144;
    const std::span<const uint8_t> content(data, size);

    const auto naive = qd::CompressNaive(content);
    const auto fast = qd::CompressFast(content);
    if (naive != fast) std::abort();
    const auto back = qd::Decompress(fast, size);
    if (!back || !std::equal(back->begin(), back->end(), content.begin(), content.end())) std::abort();

    if (size >= 2) {
        const std::size_t length = std::size_t(data[0]) | std::size_t(data[1]) << 8;
        if (auto out = qd::Decompress(content.subspan(2), length)) {
            // A stream the decoder accepts is the canonical coding of some content; the
            // compressor need not choose it, but what it decodes to must have that length.
            if (out->size() != length) std::abort();
        }
    }
    return 0;
}

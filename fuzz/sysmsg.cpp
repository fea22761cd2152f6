// Fuzzes the system message decoders: no input may read out of bounds, and whatever
// decodes must encode back to a message that decodes to the same value.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "session/sysmsg.h"

namespace {
template <typename T, typename Decode, typename Encode>
void check(std::span<const uint8_t> in, Decode decode, Encode encode) {
    const std::optional<T> first = decode(in);
    if (!first) return;
    const auto again = decode(encode(*first));
    if (!again || !(*again == *first)) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qd;
    const std::span<const uint8_t> in(data, size);
    check<SysCreatePlayerOrGroup>(in, [](auto m) { return DecodeCreatePlayerOrGroup(m); },
                                  [](const auto& v) { return EncodeCreatePlayerOrGroup(v); });
    check<SysDestroyPlayerOrGroup>(in, [](auto m) { return DecodeDestroyPlayerOrGroup(m); },
                                   [](const auto& v) { return EncodeDestroyPlayerOrGroup(v); });
    uint32_t type = 0;
    check<SysGroupMembership>(in, [&](auto m) { return DecodeGroupMembership(m, &type); },
                              [&](const auto& v) { return EncodeGroupMembership(type, v); });
    check<SysSetName>(in, [](auto m) { return DecodeSetName(m); }, [](const auto& v) { return EncodeSetName(v); });
    check<SysSetData>(in, [](auto m) { return DecodeSetData(m); }, [](const auto& v) { return EncodeSetData(v); });
    check<SessionDesc>(in, [](auto m) { return DecodeSetSessionDesc(m); },
                       [](const auto& v) { return EncodeSetSessionDesc(v); });
    return 0;
}

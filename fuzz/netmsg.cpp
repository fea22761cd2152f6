// Every NET_* decoder on arbitrary bytes. The input is tried as it is and with its type
// field set to each known type, so every decoder sees every shape. What decodes must
// re-encode to bytes that decode to the same value, and to the input itself when the
// lengths agree (nothing unread may be lost from a fixed layout). The bytes are also
// read as an object template.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/messages.h"
#include "protocol/objects.h"

namespace {

template <typename T>
void Check(qd::ByteSpan bytes) {
    const auto m = T::decode(bytes);
    if (!m) return;
    const qd::Bytes again = m->encode();
    const auto back = T::decode(again);
    if (!back || !(*back == *m)) std::abort();
    if (again.size() == bytes.size() && !std::equal(again.begin(), again.end(), bytes.begin())) std::abort();
    // The generic dispatcher agrees with the type's own decoder.
    const auto any = qd::DecodeNetMessage(bytes);
    if (!any || !std::holds_alternative<T>(*any) || !(std::get<T>(*any) == *m)) std::abort();
}

template <typename... T>
void CheckAll(qd::ByteSpan bytes) {
    (Check<T>(bytes), ...);
}

void Run(qd::ByteSpan bytes) {
    using namespace qd;
    CheckAll<NetNameReply, NetNameRequest, NetObjectDestroyed, NetTimeSync, NetPosition, NetMotion, NetObjectHeader,
             NetObjectBody, NetLaunch, NetKill, NetProbe, NetProbeReply, NetJoinTeam, NetJoinRefused,
             NetBackInReadyRoom, NetPauseRequest, NetPauseState, NetObjectDataRequest, NetDamageProfile, NetText,
             NetHits, NetEffect>(bytes);
    (void)PeekNetType(bytes);
}

}  // namespace

// The same bytes as a template4.dat: a template that parses must give a description
// whose header and body decode back to themselves.
void CheckTemplate(qd::ByteSpan bytes) {
    const auto tmpl = qd::ParseObjectTemplate(bytes);
    if (!tmpl) return;
    qd::TargetObject object;
    object.aircraft = "Fuzz";
    object.typeGuid = std::array<uint8_t, 16>{};
    object.isAirfield = 1;
    object.instanceNumber = 0xABCD;
    const auto d = qd::BuildObjectDescription(*tmpl, object);
    if (!d || d->body.body.size() != tmpl->body.size()) std::abort();
    if (qd::NetObjectHeader::decode(d->header.encode()) != d->header) std::abort();
    if (qd::NetObjectBody::decode(d->body.encode()) != d->body) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qd::ByteSpan input(data, size);
    Run(input);
    CheckTemplate(input);
    if (size < 4) return 0;
    static const uint32_t kTypes[] = {0x1001, 0x1002, 0x1004, 0x1009, 0x100A, 0x100B, 0x100C, 0x100D,
                                      0x1012, 0x1016, 0x101A, 0x101B, 0x101C, 0x101D, 0x101E, 0x101F,
                                      0x1020, 0x1021, 0x1022, 0x1025, 0x20003, 0x20004};
    std::vector<uint8_t> retyped(data, data + size);
    for (uint32_t t : kTypes) {
        for (int k = 0; k < 4; ++k) retyped[std::size_t(k)] = uint8_t(t >> (8 * k));
        Run(retyped);
    }
    return 0;
}

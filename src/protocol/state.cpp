#include "protocol/state.h"

namespace qd {

uint32_t StatusFromLongName(std::u16string_view longName) {
    if (longName.size() < 2 || longName[longName.size() - 2] != u']') return kStatusUnknown;
    static constexpr uint32_t kByLowBits[4] = {kStatusNfFlying, kStatusFlying, kStatusWaiting, kStatusReady};
    const uint32_t bits = (uint32_t(longName.back()) - uint32_t(u'A')) & 3u;
    return kByLowBits[bits];
}

char16_t RewriteStatusLetter(char16_t letter, LetterState s) {
    const uint32_t group = (uint32_t(letter) - uint32_t(u'A')) & ~3u;
    return static_cast<char16_t>(uint32_t(u'A') + group + static_cast<uint32_t>(s));
}

std::u16string WithStatusLetter(std::u16string longName, LetterState s) {
    if (!longName.empty()) longName.back() = RewriteStatusLetter(longName.back(), s);
    return longName;
}

const char* StatusText(std::optional<uint32_t> status) {
    if (!status) return "New";
    switch (*status) {
        case kStatusUnknown: return "Unk";
        case kStatusWaiting: return "Waiting";
        case kStatusReady: return "Ready";
        case kStatusFlying: return "Flying";
        case kStatusWait2: return "Wait2";
        case kStatusNfReady: return "NFRdy";
        case kStatusNfFlying: return "NFFly";
        default: return "Unk2";
    }
}

}  // namespace qd

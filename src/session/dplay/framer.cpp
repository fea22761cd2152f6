#include "session/dplay/framer.h"

namespace qd::dplay {

StreamFramer::StreamFramer(std::size_t limit) { setLimit(limit); }

bool StreamFramer::readSize() {
    uint32_t word = uint32_t(pending_[0]) | uint32_t(pending_[1]) << 8 | uint32_t(pending_[2]) << 16 |
                    uint32_t(pending_[3]) << 24;
    std::size_t size = word & kMaxWireSize;
    uint16_t token = static_cast<uint16_t>(word >> 20);
    bool knownToken = token == uint16_t(Token::Remote) || token == uint16_t(Token::Forwarded) ||
                      token == uint16_t(Token::Server);
    if (!knownToken || size < kPrefixSize || size > limit_) {
        refused_ = true;
        pending_.clear();
        return false;
    }
    expected_ = size;
    return true;
}

}  // namespace qd::dplay

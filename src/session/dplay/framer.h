#pragma once
// Cuts a DirectPlay TCP stream into messages by the size in each message's first
// word. A stream that announces a size below the prefix or above the limit, or an
// unknown token, cannot be resynchronised: the framer refuses it for good and the
// caller closes the connection.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "session/dplay/wire.h"

namespace qd::dplay {

class StreamFramer {
public:
    static constexpr std::size_t kDefaultLimit = 64 * 1024;

    enum class Status { Ok, Refused };

    explicit StreamFramer(std::size_t limit = kDefaultLimit);

    // Feeds received bytes; calls onMessage(ByteView) for each whole message, in
    // order (the view is valid during the call only). Only the unfinished tail is
    // kept, so the framer never holds more than one message's worth of bytes.
    template <class OnMessage>
    Status feed(ByteView data, OnMessage&& onMessage) {
        if (refused_) return Status::Refused;
        while (!data.empty()) {
            std::size_t take = want() - pending_.size();
            if (take > data.size()) take = data.size();
            pending_.insert(pending_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
            data = data.subspan(take);
            if (pending_.size() < want()) continue;
            if (expected_ == 0) {
                if (!readSize()) return Status::Refused;
                if (pending_.size() < expected_) continue;
            }
            onMessage(ByteView(pending_.data(), pending_.size()));
            pending_.clear();
            expected_ = 0;
            // A large frame's room is not kept for the small ones that usually follow.
            if (pending_.capacity() > kKeptCapacity) std::vector<uint8_t>().swap(pending_);
        }
        return Status::Ok;
    }

    bool refused() const { return refused_; }
    std::size_t buffered() const { return pending_.size(); }
    std::size_t limit() const { return limit_; }
    // Applies to sizes read from now on (a stream is trusted with more once it is known).
    void setLimit(std::size_t limit) { limit_ = limit > kMaxWireSize ? kMaxWireSize : limit; }

private:
    static constexpr std::size_t kKeptCapacity = 16 * 1024;
    std::size_t want() const { return expected_ ? expected_ : 4; }
    bool readSize();

    std::size_t limit_ = kDefaultLimit;
    std::vector<uint8_t> pending_;
    std::size_t expected_ = 0;  // 0 while the size word is incomplete
    bool refused_ = false;
};

}  // namespace qd::dplay

#pragma once
// Auto-reset events and wait-any, the synchronisation the receive thread is built on.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qd {

class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void set();
    bool isSet() const;

private:
    friend int WaitForAny(const std::vector<AutoResetEvent*>& events, int64_t timeoutMs);
    struct Waiter;
    mutable std::mutex mutex_;
    bool signalled_ = false;
    std::vector<Waiter*> waiters_;
};

constexpr int64_t kInfinite = -1;
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;

// Waits until one of the events is set and resets it (the first set one in list order
// wins). Returns its index, kWaitTimeout, or kWaitFailed for an empty or null list.
int WaitForAny(const std::vector<AutoResetEvent*>& events, int64_t timeoutMs = kInfinite);

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t GetTickCount();

// Tests and benchmarks may shift the tick count to reach the wrap quickly.
void SetTickCountOffsetForTesting(uint32_t offset);

}  // namespace qd

#include "platform/event.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace qd {

// A waiter is shared by every event it waits on, so one set() wakes exactly the thread
// that waits, whichever of its events fired.
struct AutoResetEvent::Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};

void AutoResetEvent::set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    for (Waiter* w : waiters_) {
        std::lock_guard wl(w->mutex);
        w->woken = true;
        w->cv.notify_all();
    }
}

bool AutoResetEvent::isSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

int WaitForAny(const std::vector<AutoResetEvent*>& events, int64_t timeoutMs) {
    if (events.empty() || std::find(events.begin(), events.end(), nullptr) != events.end()) return kWaitFailed;

    AutoResetEvent::Waiter waiter;
    auto tryTake = [&]() -> int {
        for (std::size_t i = 0; i < events.size(); ++i) {
            std::lock_guard lock(events[i]->mutex_);
            if (events[i]->signalled_) {
                events[i]->signalled_ = false;
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    auto attach = [&](bool on) {
        for (AutoResetEvent* e : events) {
            std::lock_guard lock(e->mutex_);
            if (on) {
                e->waiters_.push_back(&waiter);
            } else {
                e->waiters_.erase(std::remove(e->waiters_.begin(), e->waiters_.end(), &waiter), e->waiters_.end());
            }
        }
    };

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0));
    attach(true);
    int result;
    for (;;) {
        {
            std::lock_guard wl(waiter.mutex);
            waiter.woken = false;
        }
        result = tryTake();
        if (result >= 0) break;
        std::unique_lock wl(waiter.mutex);
        if (timeoutMs < 0) {
            waiter.cv.wait(wl, [&] { return waiter.woken; });
        } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.woken; })) {
            wl.unlock();
            result = tryTake();
            if (result < 0) result = kWaitTimeout;
            break;
        }
    }
    attach(false);
    return result;
}

namespace {
std::atomic<uint32_t> g_tickOffset{0};
}

uint32_t GetTickCount() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms)) + g_tickOffset.load(std::memory_order_relaxed);
}

void SetTickCountOffsetForTesting(uint32_t offset) { g_tickOffset.store(offset, std::memory_order_relaxed); }

}  // namespace qd

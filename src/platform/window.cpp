#include "platform/window.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <unordered_map>

namespace qd {

namespace {

struct WindowEntry {
    MessageQueue* queue = nullptr;
    WindowProc proc;
};

// Every live window of the process, so that posting by handle works from any thread and
// a handle whose window is gone is refused.
std::mutex g_windowsMutex;
std::unordered_map<HWND, std::shared_ptr<WindowEntry>> g_windows;
HWND g_nextHwnd = 1;

std::shared_ptr<WindowEntry> FindWindowEntry(HWND hwnd) {
    std::lock_guard lock(g_windowsMutex);
    auto it = g_windows.find(hwnd);
    return it == g_windows.end() ? nullptr : it->second;
}

// Shutdown signals: a flag and the target queue's wake descriptor, both touched by the
// handler with async-signal-safe operations only. Lock-free atomics, because the signal
// may be delivered on any thread, not only the window thread.
std::atomic<int> g_signalPending{0};
std::atomic<int> g_signalFd{-1};
std::atomic<MessageQueue*> g_signalTarget{nullptr};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnShutdownSignal(int) { MessageQueue::NotifyShutdownSignal(); }

}  // namespace

MessageQueue::MessageQueue() : owner_(std::this_thread::get_id()) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) throw std::runtime_error("cannot create the window queue's wake descriptor");
}

MessageQueue::~MessageQueue() {
    if (g_signalTarget.load() == this) {
        g_signalFd.store(-1);
        g_signalTarget.store(nullptr);
    }
    {
        std::lock_guard lock(g_windowsMutex);
        for (auto it = g_windows.begin(); it != g_windows.end();) {
            if (it->second->queue == this) it = g_windows.erase(it);
            else ++it;
        }
    }
    ::close(wakeFd_);
}

HWND MessageQueue::CreateWindow(WindowProc proc) {
    auto entry = std::make_shared<WindowEntry>();
    entry->queue = this;
    entry->proc = std::move(proc);
    std::lock_guard lock(g_windowsMutex);
    const HWND hwnd = g_nextHwnd++;
    g_windows.emplace(hwnd, std::move(entry));
    return hwnd;
}

bool MessageQueue::DestroyWindow(HWND hwnd) {
    auto entry = FindWindowEntry(hwnd);
    if (!entry || entry->queue != this) return false;
    if (entry->proc) entry->proc(hwnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard lock(g_windowsMutex);
        g_windows.erase(hwnd);
    }
    std::lock_guard lock(mutex_);
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->first.first == hwnd) it = timers_.erase(it);
        else ++it;
    }
    std::erase_if(posted_, [hwnd](const Message& m) { return m.hwnd == hwnd; });
    return true;
}

void MessageQueue::Wake() {
    const uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

bool MessageQueue::Enqueue(Message m) {
    {
        std::lock_guard lock(mutex_);
        if (quit_ || posted_.size() >= kMaxPostedMessages) return false;
        posted_.push_back(std::move(m));
    }
    Wake();
    return true;
}

bool MessageQueue::PostTask(std::function<void()> task) {
    if (!task) return false;
    Message m;
    m.task = std::move(task);
    return Enqueue(std::move(m));
}

bool MessageQueue::SetTimer(HWND hwnd, UINT id, uint32_t intervalMs, TimerProc proc) {
    auto entry = FindWindowEntry(hwnd);
    if (!entry || entry->queue != this) return false;
    intervalMs = std::max(intervalMs, kMinTimerIntervalMs);
    std::lock_guard lock(mutex_);
    Timer& t = timers_[{hwnd, id}];
    t.intervalMs = intervalMs;
    t.due = Clock::now() + std::chrono::milliseconds(intervalMs);
    t.proc = std::move(proc);
    return true;
}

bool MessageQueue::KillTimer(HWND hwnd, UINT id) {
    std::lock_guard lock(mutex_);
    return timers_.erase({hwnd, id}) > 0;
}

bool MessageQueue::HasTimer(HWND hwnd, UINT id) const {
    std::lock_guard lock(mutex_);
    return timers_.count({hwnd, id}) > 0;
}

void MessageQueue::PostQuitMessage(int exitCode) {
    {
        std::lock_guard lock(mutex_);
        if (!quit_) exitCode_ = exitCode;
        quit_ = true;
    }
    Wake();
}

bool MessageQueue::QuitRequested() const {
    std::lock_guard lock(mutex_);
    return quit_;
}

int MessageQueue::ExitCode() const {
    std::lock_guard lock(mutex_);
    return exitCode_;
}

void MessageQueue::BecomeSignalTarget(std::function<void()> onShutdownSignal) {
    onShutdownSignal_ = std::move(onShutdownSignal);
    g_signalTarget.store(this);
    g_signalFd.store(wakeFd_);
}

void MessageQueue::NotifyShutdownSignal() {
    g_signalPending.store(1);
    const int fd = g_signalFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        const int saved = errno;
        [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
        errno = saved;
    }
}

bool MessageQueue::TakeSignal() {
    if (g_signalTarget.load() != this) return false;
    if (g_signalPending.exchange(0) == 0) return false;
    signalled_ = true;
    return true;
}

bool MessageQueue::ShutdownRequested() const {
    return signalled_ || (g_signalTarget.load() == this && g_signalPending.load() != 0);
}

bool MessageQueue::Next(Message& out, std::optional<Clock::time_point> deadline) {
    if (TakeSignal()) {
        if (onShutdownSignal_) onShutdownSignal_();
        else PostQuitMessage(0);
        return false;
    }
    int timeoutMs = -1;
    {
        std::lock_guard lock(mutex_);
        if (quit_) return false;
        const auto now = Clock::now();
        // A due timer goes first; it re-arms a whole interval later, so a stream of posted
        // messages cannot hold a timer back and a timer cannot hold the messages back.
        auto due = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (it->second.due <= now && (due == timers_.end() || it->second.due < due->second.due)) due = it;
        if (due != timers_.end()) {
            due->second.due = now + std::chrono::milliseconds(due->second.intervalMs);
            out = Message{};
            out.hwnd = due->first.first;
            out.msg = WM_TIMER;
            out.wParam = due->first.second;
            out.timerProc = due->second.proc;
            return true;
        }
        if (!posted_.empty()) {
            out = std::move(posted_.front());
            posted_.pop_front();
            return true;
        }
        std::optional<Clock::time_point> wakeAt = deadline;
        for (const auto& [key, t] : timers_)
            if (!wakeAt || t.due < *wakeAt) wakeAt = t.due;
        if (wakeAt) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count();
            timeoutMs = static_cast<int>(std::clamp<int64_t>(ms, 0, 60'000));
        }
    }
    pollfd pfd{wakeFd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) > 0) {
        uint64_t count;
        [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
    }
    return false;
}

void MessageQueue::Dispatch(Message& m) {
    if (m.task) {
        m.task();
        return;
    }
    auto entry = FindWindowEntry(m.hwnd);
    if (!entry || entry->queue != this) return;  // the window is gone: dropped
    if (m.msg == WM_TIMER && m.timerProc) {
        m.timerProc(m.hwnd, static_cast<UINT>(m.wParam));
        return;
    }
    if (m.text) m.lParam = reinterpret_cast<LPARAM>(m.text.get());
    if (entry->proc) entry->proc(m.hwnd, m.msg, m.wParam, m.lParam);
}

MessageQueue::LoopEnd MessageQueue::RunUntil(const std::function<bool()>& done,
                                             std::optional<std::chrono::milliseconds> limit) {
    std::optional<Clock::time_point> deadline;
    if (limit) deadline = Clock::now() + *limit;
    struct Depth {
        int& d;
        explicit Depth(int& depth) : d(depth) { ++d; }
        ~Depth() { --d; }
    } depthGuard(depth_);
    for (;;) {
        if (done && done()) return LoopEnd::Done;
        if (QuitRequested()) return LoopEnd::Quit;
        if (deadline && Clock::now() >= *deadline) return LoopEnd::TimedOut;
        Message m;
        if (!Next(m, deadline)) {
            if (afterDispatch_) afterDispatch_();  // a shutdown handler may have changed things
            continue;
        }
        Dispatch(m);
        if (afterDispatch_) afterDispatch_();
    }
}

int MessageQueue::DispatchPending() {
    // Only what is ready now: a handler that posts again, or a timer slower to serve than
    // its interval, must not keep this call from returning.
    std::size_t budget;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        budget = posted_.size();
        for (const auto& [key, t] : timers_) budget += t.due <= now ? 1 : 0;
    }
    int count = 0;
    while (budget > 0) {
        Message m;
        // A deadline of now means Next never waits.
        if (!Next(m, Clock::now())) {
            if (afterDispatch_) afterDispatch_();
            std::lock_guard lock(mutex_);
            if (quit_ || posted_.empty()) break;
            continue;
        }
        --budget;
        Dispatch(m);
        if (afterDispatch_) afterDispatch_();
        ++count;
    }
    return count;
}

// The registry stays locked while the message is queued, so a queue being destroyed on
// the window thread cannot vanish under a posting thread.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MessageQueue::Message m;
    m.hwnd = hwnd;
    m.msg = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    std::lock_guard lock(g_windowsMutex);
    auto it = g_windows.find(hwnd);
    return it != g_windows.end() && it->second->queue->Enqueue(std::move(m));
}

bool PostTextMessage(HWND hwnd, UINT msg, WPARAM wParam, std::string text) {
    MessageQueue::Message m;
    m.hwnd = hwnd;
    m.msg = msg;
    m.wParam = wParam;
    m.text = std::make_shared<std::string>(std::move(text));
    std::lock_guard lock(g_windowsMutex);
    auto it = g_windows.find(hwnd);
    return it != g_windows.end() && it->second->queue->Enqueue(std::move(m));
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto entry = FindWindowEntry(hwnd);
    if (!entry || !entry->queue->IsWindowThread() || !entry->proc) return 0;
    return entry->proc(hwnd, msg, wParam, lParam);
}

bool SetTimer(HWND hwnd, UINT id, uint32_t intervalMs, TimerProc proc) {
    auto entry = FindWindowEntry(hwnd);
    return entry && entry->queue->SetTimer(hwnd, id, intervalMs, std::move(proc));
}

bool KillTimer(HWND hwnd, UINT id) {
    auto entry = FindWindowEntry(hwnd);
    return entry && entry->queue->KillTimer(hwnd, id);
}

bool IsWindow(HWND hwnd) { return FindWindowEntry(hwnd) != nullptr; }

bool DestroyWindow(HWND hwnd) {
    auto entry = FindWindowEntry(hwnd);
    return entry && entry->queue->DestroyWindow(hwnd);
}

void InstallShutdownSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnShutdownSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace qd

#pragma once
// The window thread's message queue: posted messages, window timers and message loops
// that nest (a modal dialog or question box runs the same queue until it ends), in the
// shape of the platform's. Posting is thread-safe; everything else belongs to the window
// thread that owns the queue.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace qd {

using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using INT_PTR = intptr_t;

// Window handles are small numbers that are never reused during a run, so a message
// posted to a window that has gone away can be recognised and dropped.
using HWND = uint32_t;
constexpr HWND kNoWindow = 0;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

// Notification codes carried in the high word of WM_COMMAND's wParam.
constexpr UINT BN_CLICKED = 0;
constexpr UINT EN_CHANGE = 0x0300;
constexpr UINT LBN_SELCHANGE = 1;
constexpr UINT LBN_DBLCLK = 2;
constexpr UINT CBN_SELCHANGE = 1;

constexpr WPARAM MAKEWPARAM(UINT low, UINT high) { return (WPARAM(high & 0xFFFF) << 16) | (low & 0xFFFF); }
constexpr UINT LOWORD(WPARAM w) { return UINT(w & 0xFFFF); }
constexpr UINT HIWORD(WPARAM w) { return UINT((w >> 16) & 0xFFFF); }

// A window procedure: (window, message, wParam, lParam) -> result.
using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
// A timer procedure, for timers that carry one instead of going to the window procedure.
using TimerProc = std::function<void(HWND, UINT timerId)>;

// Messages that may be waiting in one queue; PostMessage fails beyond it, as on the platform.
constexpr std::size_t kMaxPostedMessages = 10000;
// Shortest timer interval; shorter ones are raised to it, as on the platform.
constexpr uint32_t kMinTimerIntervalMs = 10;

class MessageQueue {
public:
    MessageQueue();
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Windows belong to the queue that created them. DestroyWindow sends WM_DESTROY,
    // kills the window's timers and drops what is still posted to it.
    HWND CreateWindow(WindowProc proc);
    bool DestroyWindow(HWND hwnd);

    // Thread-safe; tasks run on the window thread in posting order with the messages
    // (the console hands operator input over this way).
    bool PostTask(std::function<void()> task);

    // Timers: one timer per (window, id); setting an id again restarts it with the new
    // interval. Fired timers arrive as WM_TIMER (wParam = id) or call their procedure.
    bool SetTimer(HWND hwnd, UINT id, uint32_t intervalMs, TimerProc proc = {});
    bool KillTimer(HWND hwnd, UINT id);
    bool HasTimer(HWND hwnd, UINT id) const;

    enum class LoopEnd { Done, Quit, TimedOut };
    // Dispatches messages until done() is true (checked before every wait), the queue is
    // quit, or the time limit passes. May be called from inside a dispatched message: the
    // inner loop serves the same queue, so timers and posted messages keep flowing.
    LoopEnd RunUntil(const std::function<bool()>& done,
                     std::optional<std::chrono::milliseconds> limit = std::nullopt);
    // Dispatches what is ready now (posted messages and due timers) without waiting.
    int DispatchPending();
    int LoopDepth() const { return depth_; }

    // Ends every running loop, inner ones first; the queue stays quit.
    void PostQuitMessage(int exitCode);
    bool QuitRequested() const;
    int ExitCode() const;

    // Runs on the window thread after every dispatched message (snapshot publishing).
    void SetAfterDispatch(std::function<void()> hook) { afterDispatch_ = std::move(hook); }

    // The queue that receives shutdown signals. The handler runs on the window thread
    // when a signal arrived; without one the queue is quit with exit code 0.
    void BecomeSignalTarget(std::function<void()> onShutdownSignal);
    // Async-signal-safe: marks a shutdown request and wakes the signal target's loop.
    static void NotifyShutdownSignal();
    // A shutdown signal arrived for this queue, whether or not a loop has served it yet
    // (start-up checks it between steps that run no loop).
    bool ShutdownRequested() const;

    bool IsWindowThread() const { return std::this_thread::get_id() == owner_; }

private:
    friend bool PostMessage(HWND, UINT, WPARAM, LPARAM);
    friend bool PostTextMessage(HWND, UINT, WPARAM, std::string);
    friend LRESULT SendMessage(HWND, UINT, WPARAM, LPARAM);
    friend bool SetTimer(HWND, UINT, uint32_t, TimerProc);
    friend bool KillTimer(HWND, UINT);

    using Clock = std::chrono::steady_clock;
    struct Message {
        HWND hwnd = kNoWindow;
        UINT msg = 0;
        WPARAM wParam = 0;
        LPARAM lParam = 0;
        std::shared_ptr<std::string> text;  // owned text; lParam points at it during dispatch
        std::function<void()> task;
        TimerProc timerProc;
    };
    struct Timer {
        uint32_t intervalMs = 0;
        Clock::time_point due;
        TimerProc proc;
    };

    bool Enqueue(Message m);
    // Takes the next message; returns false after a wait (or a signal) with nothing taken.
    bool Next(Message& out, std::optional<Clock::time_point> deadline);
    void Dispatch(Message& m);
    void Wake();
    bool TakeSignal();

    std::thread::id owner_;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    std::deque<Message> posted_;
    std::map<std::pair<HWND, UINT>, Timer> timers_;
    bool quit_ = false;
    int exitCode_ = 0;
    int depth_ = 0;
    std::function<void()> afterDispatch_;
    std::function<void()> onShutdownSignal_;
    bool signalled_ = false;
};

// The platform's free functions, by window handle (any thread may post).
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Posts a message whose lParam is a text owned by the message: during dispatch lParam
// points at a std::string (read it with MessageText); a dropped message frees it.
bool PostTextMessage(HWND hwnd, UINT msg, WPARAM wParam, std::string text);
inline const std::string& MessageText(LPARAM lParam) { return *reinterpret_cast<const std::string*>(lParam); }
// Calls the window procedure at once; only on the window's own thread (else returns 0).
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
bool SetTimer(HWND hwnd, UINT id, uint32_t intervalMs, TimerProc proc = {});
bool KillTimer(HWND hwnd, UINT id);
bool IsWindow(HWND hwnd);
bool DestroyWindow(HWND hwnd);

// SIGINT and SIGTERM wake the signal target's loop (see BecomeSignalTarget).
void InstallShutdownSignalHandlers();

}  // namespace qd

#pragma once
// The receive thread and the drain of the receive queue on the window thread.
//
// ReceiveThread only waits (receive event, stop event) and posts: the poster is handed in
// and must be safe to call from that thread; it posts MSG_DPLAY_RECEIVE to the main window
// when the window exists and drops the signal otherwise (the queue keeps the messages).
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/result.h"
#include "session/host_context.h"

namespace qd {

// (context, message bytes, message size, sender, receiver). The bytes belong to the drain
// and are valid only during the call.
using MessageHandler = std::function<void(HostContext&, const uint8_t*, uint32_t, DPID, DPID)>;
using ReceivePoster = std::function<void()>;

// Waits on receiveEvent and stopEvent; posts on each receive signal; returns 0 when the
// stop event is set or the wait fails.
int ReceiveThread(AutoResetEvent* receiveEvent, AutoResetEvent* stopEvent, const ReceivePoster& post);

// Creates the receive event (when the context has none), the stop event and the thread.
// E_OUTOFMEMORY when any of them cannot be made, with nothing left running.
HRESULT StartReceiveThread(HostContext& context, ReceivePoster post);

struct DrainStats {
    uint32_t handled = 0;                // messages handed to a handler
    uint32_t dropped = 0;                // messages under 4 bytes
    std::vector<uint32_t> allocations;   // size of each receive buffer made, in order
    HRESULT last = S_OK;                 // the answer that ended the drain
};

// Takes every waiting message (DPRECEIVE_ALL) and hands it to the system handler (sender
// DPID_SYSMSG) or the application handler. One buffer per drain, replaced by one of
// exactly the reported size when DirectPlay says it is too small; the size passed in is
// that of the last message taken. Messages under 4 bytes reach no handler.
void DrainReceiveQueue(HostContext& context, const MessageHandler& system, const MessageHandler& application,
                       DrainStats* stats = nullptr);

// Stops the thread, closes the stop event, closes and releases DirectPlay, closes the
// receive event; each step only when its part exists, so it may run any number of times.
HRESULT CloseHostSession(HostContext& context);

}  // namespace qd

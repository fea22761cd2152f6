#include "session/pump.h"

#include <new>
#include <system_error>

namespace qd {

int ReceiveThread(AutoResetEvent* receiveEvent, AutoResetEvent* stopEvent, const ReceivePoster& post) {
    for (;;) {
        if (WaitForAny({receiveEvent, stopEvent}) != 0) return 0;
        if (post) post();
    }
}

HRESULT StartReceiveThread(HostContext& context, ReceivePoster post) {
    try {
        if (!context.receiveEvent) context.receiveEvent = std::make_unique<AutoResetEvent>();
        context.stopEvent = std::make_unique<AutoResetEvent>();
        context.receiveThread = std::thread(ReceiveThread, context.receiveEvent.get(), context.stopEvent.get(),
                                            std::move(post));
    } catch (const std::bad_alloc&) {
        context.stopEvent.reset();
        return E_OUTOFMEMORY;
    } catch (const std::system_error&) {
        context.stopEvent.reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void DrainReceiveQueue(HostContext& context, const MessageHandler& system, const MessageHandler& application,
                       DrainStats* stats) {
    DrainStats local;
    DrainStats& s = stats ? *stats : local;
    if (!context.directPlay) {
        s.last = DPERR_UNINITIALIZED;
        return;
    }
    std::vector<uint8_t> buffer;
    uint32_t size = 0;
    HRESULT r;
    do {
        DPID from = 0, to = 0;
        const uint32_t passed = size;
        r = context.directPlay->Receive(&from, &to, DPRECEIVE_ALL, buffer.empty() ? nullptr : buffer.data(), &size);
        if (r == DPERR_BUFFERTOOSMALL) {
            // A service that asks for no more than it was offered would loop for ever.
            if (size <= passed) break;
            std::vector<uint8_t>().swap(buffer);
            try {
                buffer.resize(size);
            } catch (const std::bad_alloc&) {
                r = E_OUTOFMEMORY;
                break;
            }
            s.allocations.push_back(size);
            r = S_OK;
            continue;
        }
        if (SUCCEEDED(r)) {
            if (size >= 4) {
                ++s.handled;
                const MessageHandler& h = from == DPID_SYSMSG ? system : application;
                if (h) h(context, buffer.data(), size, from, to);
            } else {
                ++s.dropped;
            }
        }
    } while (SUCCEEDED(r));
    s.last = r;
}

HRESULT CloseHostSession(HostContext& context) {
    if (context.receiveThread.joinable()) {
        if (context.stopEvent) context.stopEvent->set();
        context.receiveThread.join();
    }
    context.stopEvent.reset();
    if (context.directPlay) {
        context.directPlay->Close();
        context.directPlay.reset();
    }
    context.receiveEvent.reset();
    return S_OK;
}

}  // namespace qd

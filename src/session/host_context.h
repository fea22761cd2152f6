#pragma once
// The session as the host holds it: the DirectPlay service, the event every local player
// was created with, and the host's own player id. The receive thread and its stop event
// live here too, so CloseHostSession can end everything in order from one place.
#include <memory>
#include <thread>

#include "platform/event.h"
#include "session/dptypes.h"
#include "session/service.h"

namespace qd {

struct HostContext {
    std::shared_ptr<DirectPlayService> directPlay;
    std::unique_ptr<AutoResetEvent> receiveEvent;
    DPID hostPlayerId = 0;

    // Started by StartReceiveThread, ended by CloseHostSession (pump.h).
    std::unique_ptr<AutoResetEvent> stopEvent;
    std::thread receiveThread;
};

}  // namespace qd

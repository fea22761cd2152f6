#pragma once
// Making the program the host of a new session: the lobby path, or the connection
// dialog that picks the first TCP/IP connection and hosts at once; then one local
// player per target, the first being the host's own identity.
#include <optional>
#include <vector>

#include "app/startup.h"
#include "config/context.h"
#include "platform/dialog.h"
#include "session/data_access.h"
#include "session/host_context.h"
#include "session/lobby.h"
#include "session/pump.h"
#include "sidelink/host_lists.h"

namespace qd {

struct HostSessionParams {
    HostContext& context;
    DataAccess& data;
    ConfigContext& config;
    SideLinkState& sideLink;
    std::vector<LoadedTarget>& targets;
    Desktop& desktop;                    // dialog 102 runs on it
    std::optional<LobbySettings> lobby;  // from the command line; nullopt: not lobbied
    ServiceFactory factory;              // makes the DirectPlay object
    ReceivePoster poster;                // the receive thread's post of MSG_DPLAY_RECEIVE
    // Without an operator nobody can retry or cancel the connection dialog: a failure
    // that would leave it waiting ends it instead.
    bool operatorPresent = true;
};

// 0 on success; on failure CloseHostSession has run and any message was shown.
// DPERR_USERCANCEL when the operator cancelled; the failure's own code when the dialog
// ended on a failure.
HRESULT OpenHostSession(HostSessionParams& params);

// The long name a target's player starts with: "AJ[]" + aircraft (the main window
// completes it with the status letter).
std::string InitialLongName(const TargetObject& target);

}  // namespace qd

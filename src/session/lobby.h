#pragma once
// The lobby: how a program learns that something started it to create or join a given
// session. On this platform the "lobby" is the command line: `--lobby create|join
// --session-name NAME` hands the program connection settings; without them every
// request answers DPERR_NOTLOBBIED, exactly as DirectPlay does for a program that was
// started by hand.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "session/dptypes.h"
#include "session/service.h"

namespace qd {

struct LobbySettings {
    enum class Mode { Create, Join };
    Mode mode = Mode::Create;
    std::u16string sessionName;
};

// "create" or "join" (case-insensitive); nullopt for anything else.
std::optional<LobbySettings::Mode> ParseLobbyMode(std::string_view text);

// DPLCONNECTION, with its pointers as values.
struct LobbyConnection {
    uint32_t dwSize = 40;
    uint32_t dwFlags = 0;  // DPLCONNECTION_CREATESESSION or DPLCONNECTION_JOINSESSION
    std::optional<SessionDesc> sessionDesc;
    std::optional<DpName> playerName;
    Guid guidSP;
    std::vector<uint8_t> address;  // compound address for the service provider
};

using ServiceFactory = std::function<std::shared_ptr<DirectPlayService>()>;

class Lobby {
public:
    // settings: what the command line handed over (nullopt: not lobbied). factory makes
    // the DirectPlay object that Connect opens.
    Lobby(std::optional<LobbySettings> settings, ServiceFactory factory);

    HRESULT GetConnectionSettings(uint32_t appId, LobbyConnection& out) const;
    HRESULT SetConnectionSettings(uint32_t flags, uint32_t appId, const LobbyConnection& connection);
    // Creates the service, initialises the connection and opens the session (create or
    // join as the settings say). On failure nothing stays open.
    HRESULT Connect(uint32_t flags, std::shared_ptr<DirectPlayService>& out);

private:
    std::optional<LobbyConnection> connection_;
    ServiceFactory factory_;
};

}  // namespace qd

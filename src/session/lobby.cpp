#include "session/lobby.h"

#include <strings.h>

namespace qd {

std::optional<LobbySettings::Mode> ParseLobbyMode(std::string_view text) {
    const std::string t(text);
    if (strcasecmp(t.c_str(), "create") == 0) return LobbySettings::Mode::Create;
    if (strcasecmp(t.c_str(), "join") == 0) return LobbySettings::Mode::Join;
    return std::nullopt;
}

Lobby::Lobby(std::optional<LobbySettings> settings, ServiceFactory factory) : factory_(std::move(factory)) {
    if (!settings) return;
    LobbyConnection c;
    c.dwFlags = settings->mode == LobbySettings::Mode::Join ? DPLCONNECTION_JOINSESSION : DPLCONNECTION_CREATESESSION;
    SessionDesc d;
    d.sessionName = settings->sessionName;
    c.sessionDesc = d;
    c.guidSP = kDpspGuidTcpip;
    c.address = BuildTcpipAddress({});
    connection_ = std::move(c);
}

HRESULT Lobby::GetConnectionSettings(uint32_t appId, LobbyConnection& out) const {
    if (appId != 0) return DPERR_INVALIDPARAMS;
    if (!connection_) return DPERR_NOTLOBBIED;
    out = *connection_;
    return S_OK;
}

HRESULT Lobby::SetConnectionSettings(uint32_t flags, uint32_t appId, const LobbyConnection& connection) {
    if (flags != 0 || appId != 0) return DPERR_INVALIDPARAMS;
    if (!connection_) return DPERR_NOTLOBBIED;
    if (!connection.sessionDesc || connection.sessionDesc->dwSize != 80) return DPERR_INVALIDPARAMS;
    if (connection.dwFlags != DPLCONNECTION_CREATESESSION && connection.dwFlags != DPLCONNECTION_JOINSESSION)
        return DPERR_INVALIDFLAGS;
    connection_ = connection;
    return S_OK;
}

HRESULT Lobby::Connect(uint32_t flags, std::shared_ptr<DirectPlayService>& out) {
    if (flags != 0) return DPERR_INVALIDFLAGS;
    if (!connection_) return DPERR_NOTLOBBIED;
    if (!connection_->sessionDesc) return DPERR_INVALIDPARAMS;
    auto service = factory_ ? factory_() : nullptr;
    if (!service) return E_OUTOFMEMORY;
    HRESULT r = service->InitializeConnection(connection_->address, 0);
    if (SUCCEEDED(r)) {
        const uint32_t open =
            connection_->dwFlags & DPLCONNECTION_JOINSESSION ? DPOPEN_JOIN : DPOPEN_CREATE | kOpenLobbyInstance;
        r = service->Open(*connection_->sessionDesc, open);
    }
    if (FAILED(r)) {
        service->Close();
        return r;
    }
    out = std::move(service);
    return S_OK;
}

}  // namespace qd

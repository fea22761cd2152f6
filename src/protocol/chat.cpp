// Chat between the operator and the players.
#include "protocol/game_internal.h"
#include "protocol/messages.h"

namespace qd {

using namespace game;

namespace {

HRESULT FormatLine(GameHost& host, DPID player, std::string_view text, std::string& out) {
    DpName name;
    if (HRESULT r = host.data.GetPlayerNames(player, name); FAILED(r)) return r;
    out = ShortNameOrUnknown(name);
    out += ":  ";
    out += text;
    out += "\r\n";
    return S_OK;
}

}  // namespace

std::optional<std::string> FormatChatLine(GameHost& host, DPID player, std::string_view text) {
    std::string line;
    if (FAILED(FormatLine(host, player, text, line))) return std::nullopt;
    return line;
}

HRESULT SendChat(GameHost& host, std::optional<std::string> text) {
    HRESULT result = S_OK;
    if (!text) {
        const std::string typed = host.window.ChatEntryText();
        std::string echo;
        result = FormatLine(host, host.hostPlayerId(), typed, echo);
        if (SUCCEEDED(result)) {
            PostChat(host, std::move(echo));
            result = Send(host, host.hostPlayerId(), DPID_ALLPLAYERS, DPSEND_GUARANTEED,
                          NetText{kTextChat, typed}.encode());
        }
    } else {
        result = Send(host, host.hostPlayerId(), DPID_ALLPLAYERS, DPSEND_GUARANTEED,
                      NetText{kTextChat, *text}.encode());
    }
    host.window.SetChatEntryText("");
    return result;
}

}  // namespace qd

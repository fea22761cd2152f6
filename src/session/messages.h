#pragma once
// Private window messages through which the session and the protocol hand work to the
// main window (all above WM_USER, 1024). Other numbers from 1282 to 1296 are ignored.
#include <cstdint>

namespace qd {

constexpr uint32_t WM_USER = 1024;
constexpr uint32_t MSG_CHAT_TEXT = 1281;             // lParam: text, ownership passes to the window
constexpr uint32_t MSG_STATUS_TEXT = 1283;           // lParam: text, as for 1281
constexpr uint32_t MSG_OPTIONS_CHANGED = 1285;       // re-read the session description
constexpr uint32_t MSG_SEND_PLAYER_SETTINGS = 1295;  // wParam: player id, lParam: win criterion
constexpr uint32_t MSG_DPLAY_RECEIVE = 1296;         // drain the receive queue

constexpr uint32_t kFirstPrivateMessage = 1281;
constexpr uint32_t kLastPrivateMessage = 1296;

}  // namespace qd

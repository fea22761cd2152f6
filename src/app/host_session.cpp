#include "app/host_session.h"

#include <array>
#include <cstring>
#include <memory>

#include "app/templates.h"
#include "config/settings.h"
#include "platform/log.h"
#include "platform/msgbox.h"

namespace qd {

namespace {

const Guid& ApplicationGuid(const ConfigContext& config) {
    return config.prefs.simulatorVersion == 2 ? kGuidCfs2 : kGuidCombatFs;
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The enumerated TCP/IP address with the local address written in, so the provider
// asks nothing of the operator. The total size grows by 26, as it always has.
std::array<uint8_t, 96> PrepareTcpipAddress(std::span<const uint8_t> enumerated) {
    std::array<uint8_t, 96> block{};
    std::memcpy(block.data(), enumerated.data(), std::min<std::size_t>(enumerated.size(), block.size()));
    if (Guid::fromBytes(block.data() + 44) != kDpspGuidTcpip) return block;
    PutU32(block.data() + 20, GetU32(block.data() + 20) + 26);
    const auto inet = kDpaidINet.bytes();
    std::memcpy(block.data() + 60, inet.data(), 16);
    PutU32(block.data() + 76, 10);
    std::memcpy(block.data() + 80, "127.0.0.1", 10);
    std::memset(block.data() + 90, 0, 6);
    return block;
}

constexpr int kProviderCombo = 1003;
constexpr int kHostButton = 1005;

// Dialog 102, "Choose A Connection".
class ConnectionDialog {
public:
    ConnectionDialog(HostSessionParams& params) : p_(params) {}

    // The failure that ended the dialog; S_OK when it succeeded or the operator cancelled.
    HRESULT failure() const { return failure_; }

    INT_PTR Proc(Dialog& dlg, UINT msg, WPARAM wParam, LPARAM) {
        switch (msg) {
        case WM_INITDIALOG: return Open(dlg);
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
            case kProviderCombo:
                if (HIWORD(wParam) == CBN_SELCHANGE) SelectionChanged(dlg);
                return 1;
            case kHostButton: Host(dlg); return 1;
            case IDCANCEL:
                Release();
                dlg.End(0);
                return 1;
            }
            return 0;
        case WM_DESTROY:
            addresses_.clear();
            dlg.ResetContent(kProviderCombo);
            return 1;
        }
        return 0;
    }

private:
    INT_PTR Open(Dialog& dlg) {
        current_ = p_.factory ? p_.factory() : nullptr;
        if (!current_) {
            ShowMessageBox(MessageBoxRequest{"This application requires DirectX 5 or later.", std::nullopt,
                                             MbButtons::Ok, MbIcon::None, false});
            EndFailed(dlg, E_FAIL);
            return 1;
        }
        dlg.AddString(kProviderCombo, "<Select a service provider>");
        dlg.SetItemData(kProviderCombo, 0, 0);
        dlg.SetCurSel(kProviderCombo, 0);
        current_->EnumConnections(
            &ApplicationGuid(p_.config),
            [&](const Guid& sp, std::span<const uint8_t> address, const DpName& name, uint32_t) {
                if (sp != kDpspGuidTcpip) return true;
                const int index = dlg.AddString(kProviderCombo, NarrowCopy(name.shortName.value_or(u"")));
                if (index >= 0) {
                    addresses_.emplace_back(address.begin(), address.end());
                    dlg.SetItemData(kProviderCombo, index, static_cast<LPARAM>(addresses_.size()));
                }
                return true;
            },
            0);
        // The object that enumerated is not the one that hosts: each selection makes its own.
        current_.reset();
        dlg.EnableWindow(kHostButton, false);
        dlg.SetCurSel(kProviderCombo, 1);
        PostMessage(dlg.hwnd(), WM_COMMAND, MAKEWPARAM(kProviderCombo, CBN_SELCHANGE), 0);
        PostMessage(dlg.hwnd(), WM_COMMAND, MAKEWPARAM(kHostButton, BN_CLICKED), 0);
        return 1;
    }

    void SelectionChanged(Dialog& dlg) {
        Release();
        const int sel = dlg.GetCurSel(kProviderCombo);
        const LPARAM data = sel < 0 ? CB_ERR : dlg.GetItemData(kProviderCombo, sel);
        if (sel < 0 || data == CB_ERR) {
            ReportError("Could not select service provider because of error 0x%08X", static_cast<uint32_t>(E_FAIL));
            Unattended(dlg, E_FAIL);
            return;
        }
        if (data == 0 || static_cast<std::size_t>(data) > addresses_.size()) {
            Unattended(dlg, E_FAIL);  // entry 0: Host stays disabled
            return;
        }
        const auto block = PrepareTcpipAddress(addresses_[static_cast<std::size_t>(data) - 1]);
        current_ = p_.factory();
        const HRESULT hr = current_ ? current_->InitializeConnection(block, 0) : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            current_.reset();
            if (hr != DPERR_USERCANCEL)
                ReportError("Could not select service provider because of error 0x%08X", static_cast<uint32_t>(hr));
            Unattended(dlg, hr);
            return;
        }
        dlg.EnableWindow(kHostButton, true);
    }

    void Host(Dialog& dlg) {
        if (!current_) return;
        std::optional<SessionDesc> desc;
        LoadSessionSettings(p_.config, desc);
        if (!desc) {
            current_->Close();
            current_.reset();
            EndFailed(dlg, E_OUTOFMEMORY);
            return;
        }
        p_.sideLink.BuildIgnoreList();
        const HRESULT hr = current_->Open(*desc, DPOPEN_CREATE);
        if (SUCCEEDED(hr)) {
            p_.sideLink.RecordHostPorts();
            p_.context.directPlay = std::move(current_);
            dlg.End(1);
            return;
        }
        current_->Close();
        ReportError("Could not host session because of error 0x%08X", static_cast<uint32_t>(hr));
        Unattended(dlg, hr);
    }

    void EndFailed(Dialog& dlg, HRESULT hr) {
        failure_ = hr;
        dlg.End(0);
    }
    // With an operator the dialog waits for a retry or a cancel; without one it ends.
    void Unattended(Dialog& dlg, HRESULT hr) {
        if (!p_.operatorPresent) EndFailed(dlg, hr);
    }

    void Release() {
        if (current_) current_.reset();
    }

    HostSessionParams& p_;
    std::shared_ptr<DirectPlayService> current_;
    std::vector<std::vector<uint8_t>> addresses_;  // item data n refers to addresses_[n - 1]
    HRESULT failure_ = S_OK;
};

HRESULT LobbyPath(HostSessionParams& p) {
    Lobby lobby(p.lobby, p.factory);
    LobbyConnection connection;
    HRESULT hr = lobby.GetConnectionSettings(0, connection);
    if (FAILED(hr)) return hr;
    if (connection.dwFlags & DPLCONNECTION_JOINSESSION) return DPERR_UNAVAILABLE;
    LoadSessionSettings(p.config, connection.sessionDesc);
    if (FAILED(hr = lobby.SetConnectionSettings(0, 0, connection))) return hr;
    p.sideLink.BuildIgnoreList();
    std::shared_ptr<DirectPlayService> service;
    if (FAILED(hr = lobby.Connect(0, service))) return hr;
    p.sideLink.RecordHostPorts();
    p.context.directPlay = std::move(service);
    return S_OK;
}

HRESULT Fail(HostSessionParams& p, HRESULT hr) {
    CloseHostSession(p.context);
    return hr;
}

}  // namespace

std::string InitialLongName(const TargetObject& target) {
    // Assembled in a 256-byte buffer by the original: longer texts are cut.
    std::string text = "AJ[]" + target.aircraft;
    if (text.size() > 255) text.resize(255);
    return text;
}

HRESULT OpenHostSession(HostSessionParams& p) {
    if (FAILED(StartReceiveThread(p.context, p.poster))) return Fail(p, E_OUTOFMEMORY);

    HRESULT hr = LobbyPath(p);
    if (hr == DPERR_UNAVAILABLE) {
        ReportError("QUARNELD must be host", static_cast<uint32_t>(hr));
        return Fail(p, hr);
    }
    if (FAILED(hr)) {
        if (hr != DPERR_NOTLOBBIED)
            ReportError("Could not connect using lobby because of error 0x%08X", static_cast<uint32_t>(hr));
        ConnectionDialog dialog(p);
        const INT_PTR result = p.desktop.DialogBoxParam(
            ConnectionDialogTemplate(), kNoWindow,
            [&dialog](Dialog& d, UINT m, WPARAM w, LPARAM l) { return dialog.Proc(d, m, w, l); }, 0);
        if (result != 1) return Fail(p, FAILED(dialog.failure()) ? dialog.failure() : DPERR_USERCANCEL);
    }

    for (std::size_t i = 0; i < p.targets.size(); ++i) {
        TargetObject& target = *p.targets[i].target;
        DpName name;
        name.shortName = WideCopy(target.name);
        name.longName = WideCopy(InitialLongName(target));
        DPID id = 0;
        hr = p.context.directPlay->CreatePlayer(&id, name, p.context.receiveEvent.get(), {}, 0);
        target.playerId = id;
        if (i == 0) p.context.hostPlayerId = id;
        if (FAILED(hr)) return Fail(p, hr);
        p.data.InitPlayerRecord(id);
        if (auto record = p.data.GetPlayerRecord(id)) {
            record->kind = kKindHostObject;
            record->object = static_cast<uint32_t>(i + 1);
            p.data.PutPlayerRecord(id, *record);
        }
    }
    return S_OK;
}

}  // namespace qd

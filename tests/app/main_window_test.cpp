#include <gtest/gtest.h>

#include <algorithm>

#include "app/host_session.h"
#include "app/main_window.h"
#include "app/templates.h"
#include "platform/log.h"
#include "platform/msgbox.h"
#include "platform/temp_dir.h"
#include "protocol/messages.h"
#include "session/engine.h"
#include "session/scripted_peer.h"
#include "sidelink/net_tables.h"

namespace qd {
namespace {

// No adapters, no connections: the side link falls back to 127.0.0.1.
class EmptyTables : public NetTableSource {
public:
    bool interfaces(std::vector<InterfaceRow>&) override { return true; }
    bool addresses(std::vector<Ipv4AddressRow>&) override { return true; }
    bool tcpConnections(std::vector<NetEntry>&) override { return true; }
    bool hostName(HostNameInfo&) override { return false; }
};

const char* kConfig =
    "[QDL_SETTINGS]\nSESSION_NAME=Test\nNO_LOCK_OR_RADAR_PLAYERS=0\n"
    "[QDL_TEAM.T0]\n[QDL_TEAM.T1]\n[QDL_TEAM.T2]\n[QDL_TEAM.A0]\nMAX_PLAYERS=2\n"
    "[QDL_OBJECT.0]\nNAME=Alpha\nAIRCRAFT=Tank\nTARGET_TEAM=0\n"
    "[QDL_OBJECT.1]\nNAME=Bravo\nAIRCRAFT=Ship\nTARGET_TEAM=1\n"
    "[QDL_OBJECT.2]\nNAME=Charlie\nAIRCRAFT=Depot\nTARGET_TEAM=2\n";

// A host as `quarneld run` builds it, with message boxes answered by the test.
struct Host {
    testing::TempDir dir;
    EmptyTables tables;
    HostSetup setup{dir.path(), tables};
    MessageQueue queue;
    Desktop desktop{queue};
    HostContext context;
    DataAccess data{context};
    std::vector<MessageBoxRequest> boxes;
    int answer = IDNO;
    bool cancelConnectionOnBox = false;  // the operator cancels dialog 102 after a box
    EngineOptions engineOptions;
    MessageBoxHandler previous;
    std::shared_ptr<Engine> engine;
    std::shared_ptr<ScriptedNetwork> network;
    std::vector<std::string> ejectAsked;
    int ejectAnswer = 0;
    int settingsRuns = 0;
    std::unique_ptr<MainWindow> window;

    explicit Host(const std::string& cfg = kConfig) {
        dir.write("quarneld/quarneld.ini", "[QDL_USER_PREFS]\nCFS_VERSION=2\nAUTORUN_CFS=0\n");
        dir.write("quarneld/configs/Default.cfg", cfg);
        SetErrorLogPath(dir.path() / "quarneld/qdlerror.txt");
        previous = SetMessageBoxHandler([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            if (Dialog* d = desktop.FindTemplate(ConnectionDialogTemplate().id); d && cancelConnectionOnBox)
                PostMessage(d->hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return r.buttons == MbButtons::Ok ? IDOK : answer;
        });
        setup.LoadAdaptersAndPrefs();
        setup.LoadTargets();
    }
    ~Host() {
        // The window's procedure reaches into `window`, which goes before the desktop does.
        if (window && window->hwnd() != kNoWindow) queue.DestroyWindow(window->hwnd());
        CloseHostSession(context);
        SetMessageBoxHandler(previous);
    }
    HRESULT open(std::optional<LobbySettings> lobby = std::nullopt, bool operatorPresent = true) {
        OperatorDialogs dialogs;
        dialogs.eject = [this](const std::string& name) {
            ejectAsked.push_back(name);
            return ejectAnswer;
        };
        dialogs.settings = [this] { ++settingsRuns; };
        window = std::make_unique<MainWindow>(desktop, setup, context, data, dialogs);
        auto factory = [this]() -> std::shared_ptr<DirectPlayService> {
            engine = std::make_shared<Engine>(engineOptions);
            network = ScriptedNetwork::Attach(*engine);
            return engine;
        };
        HostSessionParams params{context, data, setup.config, setup.sideLink, setup.targets, desktop, lobby,
                                 factory, [this] { window->PostReceive(); }, operatorPresent};
        return OpenHostSession(params);
    }
    // Opens the main window modelessly and lets the queue settle.
    Dialog& show() {
        const HWND h = desktop.CreateDialogParam(
            MainWindowTemplate(), kNoWindow,
            [this](Dialog& d, UINT m, WPARAM w, LPARAM l) { return window->Proc(d, m, w, l); }, 0);
        settle();
        return *desktop.Find(h);
    }
    void settle() {
        // Long enough for the receive thread to post what the engine queued.
        for (int i = 0; i < 10; ++i) queue.RunUntil([] { return false; }, std::chrono::milliseconds(5));
    }
    bool sawBox(const std::string& text) const {
        return std::any_of(boxes.begin(), boxes.end(), [&](const auto& b) { return b.text == text; });
    }
    ScriptedPeer& machine(const std::string& address) {
        ScriptedPeer& peer = network->AddPeer(address);
        EXPECT_EQ(peer.Join(), S_OK);
        return peer;
    }
    DPID join(ScriptedPeer& peer, const std::u16string& name, const std::u16string& longName) {
        DPID id = 0;
        EXPECT_EQ(peer.CreatePlayer(name, longName, &id), S_OK);
        settle();
        return id;
    }
};

TEST(HostSession, ThreeTargetsBecomeLocalPlayersAndTheFirstIsTheHost) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    ASSERT_EQ(host.setup.targets.size(), 3u);
    EXPECT_TRUE(host.boxes.empty()) << "not lobbied: no message, the dialog hosts at once";
    EXPECT_EQ(host.context.hostPlayerId, host.setup.targets[0].target->playerId);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& t = *host.setup.targets[i].target;
        const auto record = host.data.GetPlayerRecord(t.playerId);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->kind, kKindHostObject);
        EXPECT_EQ(record->object, i + 1) << "the record points to its target";
        DpName name;
        host.data.GetPlayerNames(t.playerId, name);
        EXPECT_EQ(NarrowCopy(name.longName.value_or(u"")), "AJ[]" + t.aircraft);
    }
    SessionDesc desc;
    ASSERT_EQ(host.context.directPlay->GetSessionDesc(desc), S_OK);
    EXPECT_EQ(desc.guidApplication, kGuidCfs2);
    EXPECT_EQ(CloseHostSession(host.context), S_OK);
    EXPECT_EQ(CloseHostSession(host.context), S_OK) << "twice is harmless";

    // A lobby that creates the session keeps its name; the description is completed from the file.
    Host lobbied;
    ASSERT_EQ(lobbied.open(LobbySettings{LobbySettings::Mode::Create, u"Lobby game"}), S_OK);
    EXPECT_TRUE(lobbied.boxes.empty());
    ASSERT_EQ(lobbied.context.directPlay->GetSessionDesc(desc), S_OK);
    EXPECT_EQ(NarrowCopy(desc.sessionName.value_or(u"")), "Lobby game[][]AAAAAAAAAAAA[]AAAAAAAAAAAA");
}

// No TCP/IP provider: with an operator the connection dialog waits for a retry or a
// cancel; without one nobody could answer, so the failure ends it and start-up.
// (Ports taken and a lobby that asks to join: the real program's, in startup_test.)
TEST(HostSession, ConnectionDialogFailures) {
    for (const bool operatorPresent : {true, false}) {
        SCOPED_TRACE(operatorPresent);
        Host host;
        host.engineOptions.offerTcpip = false;
        host.cancelConnectionOnBox = operatorPresent;
        EXPECT_EQ(host.open(std::nullopt, operatorPresent), operatorPresent ? DPERR_USERCANCEL : E_FAIL);
        ASSERT_EQ(host.boxes.size(), 1u);
        EXPECT_EQ(host.boxes[0].text, "Could not select service provider because of error 0x80004005");
        EXPECT_FALSE(host.context.receiveThread.joinable()) << "the receive thread is stopped";
        EXPECT_FALSE(host.context.directPlay);
    }
}

TEST(MainWindow, OpeningNamesObjectsCreatesTeamsAndFillsTargetTeams) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_HOST_ADDRESS), "127.0.0.1");
    // "Target ", "Target2", "Target3": object with targetTeam 1 sits in "Target2".
    ASSERT_EQ(host.setup.teams.size(), 4u);
    const auto bravo = host.data.GetPlayerRecord(host.setup.targets[1].target->playerId);
    ASSERT_TRUE(bravo);
    EXPECT_EQ(bravo->teamGroup, host.setup.teams[1]->groupId);
    uint8_t groupData[8];
    uint32_t size = sizeof groupData;
    ASSERT_EQ(host.engine->GetGroupData(host.setup.teams[3]->groupId, groupData, &size, 0), S_OK);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(groupData[4] | groupData[5] << 8, 344) << "colour, then the constant 344";
    SessionDesc desc;
    host.engine->GetSessionDesc(desc);
    EXPECT_EQ((desc.dwUser1 >> 8) & 0xFF, 4u) << "the team count in dwUser1";
    EXPECT_NE(dlg.GetDlgItemText(IDC_OPTIONS_SUMMARY).find("Max. teams: 4\r\n"), std::string::npos);
    EXPECT_FALSE(dlg.IsWindowEnabled(IDC_NF_LAUNCH));
    // Every player is listed, each row carrying its DPID.
    EXPECT_EQ(dlg.GetCount(IDC_PLAYER_LIST), 3);
    for (const auto& t : host.setup.targets) EXPECT_GE(dlg.FindItemData(IDC_PLAYER_LIST, t.target->playerId), 0);
}

TEST(MainWindow, NoTeamsAsksToExit) {
    Host host("[QDL_OBJECT.0]\nNAME=Alpha\n");
    ASSERT_EQ(host.open(), S_OK);
    host.setup.config.targetTeamExists = true;  // as if the default Target team were gone too
    Dialog& dlg = host.show();
    ASSERT_GE(host.boxes.size(), 2u);
    EXPECT_EQ(host.boxes[0].text, "Config error, no teams found");
    EXPECT_EQ(host.boxes[1].text, "Are you sure you want to exit Quarneld?");
    EXPECT_NE(host.desktop.Find(dlg.hwnd()), nullptr) << "No leaves the window running without teams";
}

// "NF Launch now": a non-zero no-fun setting enables it; the check's refusal, then a launch.
TEST(MainWindow, NoFunLaunch) {
    std::string cfg = kConfig;
    cfg.replace(cfg.find("NO_LOCK_OR_RADAR_PLAYERS=0"), 26, "NO_LOCK_OR_RADAR_PLAYERS=2");
    Host host(cfg);
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    ASSERT_TRUE(dlg.IsWindowEnabled(IDC_NF_LAUNCH));
    host.desktop.Click(dlg.hwnd(), IDC_NF_LAUNCH);
    EXPECT_TRUE(host.sawBox("No-fun launch requires non-target players"));

    auto& peer = host.machine("10.1.2.5");
    const DPID client = host.join(peer, u"Ace", u"xQ[]Spitfire[]C");
    ASSERT_EQ(peer.JoinGroup(host.setup.teams[3]->groupId, client), S_OK);
    host.settle();
    peer.ClearLog();
    host.desktop.Click(dlg.hwnd(), IDC_NF_LAUNCH);
    host.settle();
    const auto log = peer.Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const auto& n) {
        return n.kind == OutboundNotice::Kind::Message && PeekNetType(n.data) == NET_LAUNCH && n.to == client;
    }));
}

TEST(MainWindow, OperatorCommandsCheckTheirPreconditions) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    const HWND h = dlg.hwnd();
    auto click = [&](int id, const char* box) {
        host.desktop.Click(h, id);
        EXPECT_TRUE(!box || host.sawBox(box)) << box;
    };
    host.desktop.SelectItem(h, IDC_PLAYER_LIST, dlg.FindItemData(IDC_PLAYER_LIST, host.context.hostPlayerId));
    click(IDC_EJECT, "QUARNELD objects cannot be ejected");
    EXPECT_TRUE(host.ejectAsked.empty()) << "no dialog for a host object";
    click(IDC_CAPTURE, "Please select a NON-TARGET player to capture");

    // A client joins; Waiting clients cannot be captured; ejecting asks the dialog.
    auto& peer = host.machine("10.1.2.3");
    const DPID client = host.join(peer, u"A very long pilot name here", u"xQ[]Spitfire[]G");
    const int row = dlg.FindItemData(IDC_PLAYER_LIST, client);
    ASSERT_GE(row, 0);
    EXPECT_EQ(*dlg.GetItemText(IDC_PLAYER_LIST, row), "\tQ\tWaiting\tA very long pilot ...\t \tSpitfire")
        << "18 characters and ...";
    host.desktop.SelectItem(h, IDC_PLAYER_LIST, row);
    click(IDC_CAPTURE, "Player must be 'In game' to capture location");
    host.ejectAnswer = 1;
    click(IDC_EJECT, nullptr);
    EXPECT_EQ(host.ejectAsked, std::vector<std::string>{"A very long pilot name here"});
    host.settle();
    EXPECT_LT(dlg.FindItemData(IDC_PLAYER_LIST, client), 0) << "the ejected player is gone";
    // A player whose name reads as nothing gets no dialog (nor an empty autoboot line).
    const DPID nameless = host.join(peer, u"", u"xQ[]Spitfire[]G");
    host.desktop.SelectItem(h, IDC_PLAYER_LIST, dlg.FindItemData(IDC_PLAYER_LIST, nameless));
    click(IDC_EJECT, nullptr);
    EXPECT_EQ(host.ejectAsked.size(), 1u);

    // Change options: held while somebody flies, else the dialog runs and NF follows the setting.
    host.window->game().state.flyingCount = 1;
    click(IDC_CHANGE_OPTIONS, "Only allowed to change settings with all players in the Ready Room");
    EXPECT_FALSE(host.boxes.back().caption.has_value()) << "the platform's default title";
    EXPECT_EQ(host.settingsRuns, 0);
    host.window->game().state.flyingCount = 0;
    host.setup.config.settings.NO_LOCK_OR_RADAR_PLAYERS = 1;
    click(IDC_CHANGE_OPTIONS, nullptr);
    EXPECT_EQ(host.settingsRuns, 1);
    EXPECT_TRUE(dlg.IsWindowEnabled(IDC_NF_LAUNCH));
    EXPECT_EQ(host.window->game().state.gameState & 256u, 0u) << "the hold is released";
}

// Enter in the chat entry sends to all; the pane keeps at most 1,500 characters by whole
// lines. (Enter elsewhere and the exit question: the browser suite's chat road.)
TEST(MainWindow, ChatEntryAndPane) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    const HWND h = dlg.hwnd();
    auto& peer = host.machine("10.1.2.4");
    host.settle();
    peer.ClearLog();
    host.desktop.TypeText(h, IDC_CHAT_ENTRY, "hi");
    host.desktop.Focus(h, IDC_CHAT_ENTRY);
    host.desktop.PressEnter(h);
    host.settle();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_CHAT_ENTRY), "");
    EXPECT_NE(dlg.GetDlgItemText(IDC_CHAT_PANE).find("Alpha:  hi\r\n"), std::string::npos);
    const auto log = peer.Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto& n) {
        return n.kind == OutboundNotice::Kind::Message && n.data.size() == 15;
    })) << "NET_TEXT of 15 bytes to all";

    const std::string line(98, 'x');  // 100 characters with CR LF
    dlg.SetDlgItemText(IDC_CHAT_PANE, "");
    for (int i = 0; i < 16; ++i) host.window->PostChatText(line + "\r\n");
    host.settle();
    EXPECT_EQ(dlg.GetWindowTextLength(IDC_CHAT_PANE), 1600) << "trimmed only before the next append";
    auto append = [&](const std::string& pane, const std::string& text) {
        if (!pane.empty()) dlg.SetDlgItemText(IDC_CHAT_PANE, pane);
        host.window->PostStatusText(text);
        host.settle();
        return dlg.GetDlgItemText(IDC_CHAT_PANE);
    };
    std::string pane = append("", "last\r\n");
    EXPECT_EQ(pane.size(), 1500u + 6u);
    EXPECT_EQ(pane.substr(pane.size() - 6), "last\r\n");
    EXPECT_EQ(pane.substr(0, 100), line + "\r\n") << "whole lines left the top";
    // One long text without a line end leaves whole; the trim always ends; 1,501 is over.
    EXPECT_EQ(append(std::string(2000, 'x'), "y\r\n"), "y\r\n");
    EXPECT_EQ(append(std::string(1499, 'x') + "\r\n", "y\r\n"), "y\r\n");
    // Thousands of empty lines go in one step, down to the last 1,500 characters.
    std::string flood;
    for (int i = 0; i < 32700; ++i) flood += "\r\n";
    EXPECT_EQ(append(flood, "z\r\n"), flood.substr(0, 1500) + "z\r\n");
}

}  // namespace
}  // namespace qd

#include <gtest/gtest.h>

#include <fstream>

#include "app/host_session.h"
#include "app/main_window.h"
#include "app/templates.h"
#include "platform/log.h"
#include "platform/msgbox.h"
#include "platform/temp_dir.h"
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

struct Workdir {
    testing::TempDir tmp;
    std::filesystem::path path = tmp.path();
    explicit Workdir(const std::string& cfg) {
        std::filesystem::create_directories(path / "quarneld/configs");
        std::ofstream(path / "quarneld/quarneld.ini") << "[QDL_USER_PREFS]\nCFS_VERSION=2\nAUTORUN_CFS=0\n";
        std::ofstream(path / "quarneld/configs/Default.cfg") << cfg;
        SetErrorLogPath(path / "quarneld/qdlerror.txt");
    }
};

const char* kConfig =
    "[QDL_SETTINGS]\nSESSION_NAME=Test\nNO_LOCK_OR_RADAR_PLAYERS=0\n"
    "[QDL_TEAM.T0]\n[QDL_TEAM.T1]\n[QDL_TEAM.T2]\n[QDL_TEAM.A0]\nMAX_PLAYERS=2\n"
    "[QDL_OBJECT.0]\nNAME=Alpha\nAIRCRAFT=Tank\nTARGET_TEAM=0\n"
    "[QDL_OBJECT.1]\nNAME=Bravo\nAIRCRAFT=Ship\nTARGET_TEAM=1\n"
    "[QDL_OBJECT.2]\nNAME=Charlie\nAIRCRAFT=Depot\nTARGET_TEAM=2\n";

// A host as `quarneld run` builds it, with message boxes answered by the test.
struct Host {
    Workdir dir;
    EmptyTables tables;
    HostSetup setup;
    MessageQueue queue;
    Desktop desktop{queue};
    HostContext context;
    DataAccess data{context};
    std::vector<MessageBoxRequest> boxes;
    int answer = IDNO;
    MessageBoxHandler previous;
    std::shared_ptr<Engine> engine;
    std::shared_ptr<ScriptedNetwork> network;
    std::vector<std::string> ejectAsked;
    int ejectAnswer = 0;
    int settingsRuns = 0;
    std::unique_ptr<MainWindow> window;

    explicit Host(const std::string& cfg = kConfig) : dir(cfg), setup(dir.path, tables) {
        previous = SetMessageBoxHandler([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
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
    ServiceFactory factory() {
        return [this]() -> std::shared_ptr<DirectPlayService> {
            engine = std::make_shared<Engine>();
            network = ScriptedNetwork::Attach(*engine);
            return engine;
        };
    }
    HRESULT open(std::optional<LobbySettings> lobby = std::nullopt) {
        OperatorDialogs dialogs;
        dialogs.eject = [this](const std::string& name) {
            ejectAsked.push_back(name);
            return ejectAnswer;
        };
        dialogs.settings = [this] { ++settingsRuns; };
        window = std::make_unique<MainWindow>(desktop, setup, context, data, dialogs);
        HostSessionParams params{context, data, setup.config, setup.sideLink, setup.targets, desktop, lobby,
                                 factory(), [this] { window->PostReceive(); }};
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
        for (const auto& b : boxes)
            if (b.text == text) return true;
        return false;
    }
};

TEST(HostSession, ThreeTargetsBecomeLocalPlayersAndTheFirstIsTheHost) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    ASSERT_EQ(host.setup.targets.size(), 3u);
    EXPECT_TRUE(host.boxes.empty()) << "not lobbied: no message, the dialog hosts at once";
    EXPECT_NE(host.context.hostPlayerId, 0u);
    EXPECT_EQ(host.context.hostPlayerId, host.setup.targets[0].target->playerId);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& t = *host.setup.targets[i].target;
        const auto record = host.data.GetPlayerRecord(t.playerId);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->kind, kKindHostObject);
        EXPECT_EQ(record->object, i + 1) << "the record points to its target";
        DpName name;
        ASSERT_EQ(host.data.GetPlayerNames(t.playerId, name), S_OK);
        EXPECT_EQ(name.shortName, WideCopy(t.name));
        EXPECT_EQ(name.longName, WideCopy("AJ[]" + t.aircraft));
    }
    SessionDesc desc;
    ASSERT_EQ(host.context.directPlay->GetSessionDesc(desc), S_OK);
    EXPECT_EQ(desc.guidApplication, kGuidCfs2);
    EXPECT_EQ(CloseHostSession(host.context), S_OK);
    EXPECT_EQ(CloseHostSession(host.context), S_OK) << "twice is harmless";
}

TEST(HostSession, LobbyOutcomes) {
    {
        Host host;
        EXPECT_EQ(host.open(LobbySettings{LobbySettings::Mode::Join, u"Other"}), DPERR_UNAVAILABLE);
        ASSERT_EQ(host.boxes.size(), 1u);
        EXPECT_EQ(host.boxes[0].text, "QUARNELD must be host");
        EXPECT_EQ(host.boxes[0].caption.value_or(""), "Error");
        EXPECT_FALSE(host.context.receiveThread.joinable()) << "the receive thread is stopped";
    }
    {
        Host host;
        ASSERT_EQ(host.open(LobbySettings{LobbySettings::Mode::Create, u"Lobby game"}), S_OK);
        EXPECT_TRUE(host.boxes.empty());
        SessionDesc desc;
        ASSERT_EQ(host.context.directPlay->GetSessionDesc(desc), S_OK);
        EXPECT_EQ(NarrowCopy(desc.sessionName.value_or(u"")), "Lobby game[][]AAAAAAAAAAAA[]AAAAAAAAAAAA")
            << "the lobby's name is kept; the description is completed from the file";
    }
}

TEST(MainWindow, OpeningNamesObjectsCreatesTeamsAndFillsTargetTeams) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_HOST_ADDRESS), "127.0.0.1");
    // Long names end in the Waiting letter of their group: G for the first object, C after.
    DpName name;
    host.data.GetPlayerNames(host.setup.targets[0].target->playerId, name);
    EXPECT_EQ(NarrowCopy(*name.longName), "AJ[]Tank[]G");
    host.data.GetPlayerNames(host.setup.targets[1].target->playerId, name);
    EXPECT_EQ(NarrowCopy(*name.longName), "AJ[]Ship[]C");
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
}

TEST(MainWindow, OperatorCommandsCheckTheirPreconditions) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    const HWND h = dlg.hwnd();

    host.desktop.Click(h, IDC_EJECT);
    EXPECT_TRUE(host.sawBox("You need to select a player to eject"));
    const int objectRow = dlg.FindItemData(IDC_PLAYER_LIST, host.context.hostPlayerId);
    ASSERT_GE(objectRow, 0);
    host.desktop.SelectItem(h, IDC_PLAYER_LIST, objectRow);
    host.desktop.Click(h, IDC_EJECT);
    EXPECT_TRUE(host.sawBox("QUARNELD objects cannot be ejected"));
    EXPECT_TRUE(host.ejectAsked.empty()) << "no dialog for a host object";
    host.desktop.Click(h, IDC_CAPTURE);
    EXPECT_TRUE(host.sawBox("Please select a NON-TARGET player to capture"));

    // A client joins; Waiting clients cannot be captured; ejecting asks the dialog.
    auto& peer = host.network->AddPeer("10.1.2.3");
    ASSERT_EQ(peer.Join(), S_OK);
    DPID client = 0;
    ASSERT_EQ(peer.CreatePlayer(u"A very long pilot name here", u"xQ[]Spitfire[]G", &client), S_OK);
    host.settle();
    const int row = dlg.FindItemData(IDC_PLAYER_LIST, client);
    ASSERT_GE(row, 0);
    const std::string rowText = *dlg.GetItemText(IDC_PLAYER_LIST, row);
    EXPECT_EQ(rowText, "\tQ\tWaiting\tA very long pilot ...\t \tSpitfire") << "18 characters and ...";
    host.desktop.SelectItem(h, IDC_PLAYER_LIST, row);
    host.desktop.Click(h, IDC_CAPTURE);
    EXPECT_TRUE(host.sawBox("Player must be 'In game' to capture location"));
    host.ejectAnswer = 1;
    host.desktop.Click(h, IDC_EJECT);
    ASSERT_EQ(host.ejectAsked.size(), 1u);
    EXPECT_EQ(host.ejectAsked[0], "A very long pilot name here");
    host.settle();
    EXPECT_LT(dlg.FindItemData(IDC_PLAYER_LIST, client), 0) << "the ejected player is gone";

    // Change options: held while somebody flies, else the dialog runs and NF follows the setting.
    host.window->game().state.flyingCount = 1;
    host.desktop.Click(h, IDC_CHANGE_OPTIONS);
    EXPECT_TRUE(host.sawBox("Only allowed to change settings with all players in the Ready Room"));
    EXPECT_FALSE(host.boxes.back().caption.has_value()) << "the platform's default title";
    EXPECT_EQ(host.settingsRuns, 0);
    host.window->game().state.flyingCount = 0;
    host.setup.config.settings.NO_LOCK_OR_RADAR_PLAYERS = 1;
    host.desktop.Click(h, IDC_CHANGE_OPTIONS);
    EXPECT_EQ(host.settingsRuns, 1);
    EXPECT_TRUE(dlg.IsWindowEnabled(IDC_NF_LAUNCH));
    EXPECT_EQ(host.window->game().state.gameState & 256u, 0u) << "the hold is released";
}

TEST(MainWindow, EnterSendsOnlyFromTheChatEntryAndExitAsks) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    const HWND h = dlg.hwnd();
    auto& peer = host.network->AddPeer("10.1.2.4");
    ASSERT_EQ(peer.Join(), S_OK);
    host.settle();
    peer.ClearLog();

    host.desktop.TypeText(h, IDC_CHAT_ENTRY, "hi");
    host.desktop.Focus(h, IDC_PLAYER_LIST);
    host.desktop.PressEnter(h);
    host.settle();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_CHAT_ENTRY), "hi") << "Enter on the player list does nothing";
    host.desktop.Focus(h, IDC_CHAT_ENTRY);
    host.desktop.PressEnter(h);
    host.settle();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_CHAT_ENTRY), "");
    EXPECT_NE(dlg.GetDlgItemText(IDC_CHAT_PANE).find("Alpha:  hi\r\n"), std::string::npos);
    bool sent = false;
    for (const auto& n : peer.Log())
        if (n.kind == OutboundNotice::Kind::Message && n.data.size() == 15) sent = true;
    EXPECT_TRUE(sent) << "NET_TEXT of 15 bytes to all";

    // The exit question: No keeps the window.
    host.answer = IDNO;
    host.desktop.PressEscape(h);
    host.settle();
    EXPECT_TRUE(host.sawBox("Are you sure you want to exit Quarneld?"));
    EXPECT_NE(host.desktop.Find(h), nullptr);
}

TEST(MainWindow, ChatPaneKeepsAtMost1500CharactersByWholeLines) {
    Host host;
    ASSERT_EQ(host.open(), S_OK);
    Dialog& dlg = host.show();
    const std::string line(98, 'x');  // 100 characters with CR LF
    for (int i = 0; i < 16; ++i) host.window->PostChatText(line + "\r\n");
    host.settle();
    EXPECT_EQ(dlg.GetWindowTextLength(IDC_CHAT_PANE), 1600) << "trimmed only before the next append";
    host.window->PostStatusText("last\r\n");
    host.settle();
    const std::string pane = dlg.GetDlgItemText(IDC_CHAT_PANE);
    EXPECT_EQ(pane.size(), 1500u + 6u);
    EXPECT_EQ(pane.substr(pane.size() - 6), "last\r\n");
    EXPECT_EQ(pane.substr(0, 100), line + "\r\n") << "whole lines left the top";

    // One long text without a line end leaves whole; the trim always ends.
    dlg.SetDlgItemText(IDC_CHAT_PANE, std::string(2000, 'x'));
    host.window->PostStatusText("y\r\n");
    host.settle();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_CHAT_PANE), "y\r\n");
    // Thousands of empty lines go in one step, down to the last 1,500 characters.
    std::string flood;
    for (int i = 0; i < 32700; ++i) flood += "\r\n";
    dlg.SetDlgItemText(IDC_CHAT_PANE, flood);
    host.window->PostStatusText("z\r\n");
    host.settle();
    EXPECT_EQ(dlg.GetDlgItemText(IDC_CHAT_PANE), flood.substr(0, 1500) + "z\r\n");
}

}  // namespace
}  // namespace qd

#include <gtest/gtest.h>

#include <vector>

#include "app/settings_dialog.h"
#include "config/settings.h"
#include "platform/desk_test.h"
#include "platform/msgbox.h"
#include "session/engine.h"

namespace qd {
namespace {

using testing::Checks;

// The session engine, counting description writes.
class CountingEngine final : public Engine {
public:
    int setDescCalls = 0;
    HRESULT SetSessionDesc(const SessionDesc& desc, uint32_t flags) override {
        ++setDescCalls;
        return Engine::SetSessionDesc(desc, flags);
    }
};

// Default settings: squadron, restrict aircraft, Hard, sun glare and G effects; plus
// skill Veteran (bits 5-7) and bit 24, which the dialog must leave alone.
constexpr uint32_t kUser2 = 0x60409 | (3u << 5) | (1u << 24);
constexpr uint32_t kFuel = 1u << 13, kAmmo = 1u << 14;

class SettingsDialogTest : public testing::DeskTest {
protected:
    SettingsDialogTest() {
        previousBoxes = SetMessageBoxHandler(WindowMessageBoxHandler(desk));
        EXPECT_TRUE(SUCCEEDED(engine.InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0)));
        SessionDesc d;
        d.dwFlags = DPSESSION_MIGRATEHOST;
        d.guidInstance = d.guidApplication = kGuidCfs2;
        d.dwMaxPlayers = 16;
        d.sessionName = u"Dogfight[]notes[]AAAAAAAAAAAA[]AAAAAAAAAAAA";
        d.dwUser1 = 0x0A050310;
        d.dwUser2 = kUser2;
        d.dwUser3 = 0x23E81388;
        d.dwUser4 = 150;
        EXPECT_TRUE(SUCCEEDED(engine.Open(d, DPOPEN_CREATE)));
    }
    ~SettingsDialogTest() override { SetMessageBoxHandler(previousBoxes); }

    void Operator(std::function<void(Dialog&, HWND)> act) { DeskTest::Operator(IDD_SETTINGS, std::move(act)); }
    int Run() {
        SettingsDialogContext ctx{engine, cfg, unrestrict,
                                  [this](uint32_t mode) {
                                      censuses.push_back(mode);
                                      censusSaw.push_back({cfg.settings.WIN_CRITERIA, unrestrict});
                                  },
                                  [this](const SessionDesc& d) { summaries.push_back(d); }};
        return SettingsDialog(desk, ctx);
    }
    // The operator's choices in lists (control, index) and clicks, then "Use new settings".
    int Apply(std::initializer_list<int> clicks, std::vector<std::pair<int, int>> choices = {}) {
        Operator([this, ids = std::vector<int>(clicks), choices](Dialog&, HWND h) {
            for (auto [id, index] : choices) desk.SelectItem(h, id, index);
            for (int id : ids) desk.Click(h, id);
            desk.Click(h, IDC_USE_NEW_SETTINGS);
        });
        return Run();
    }
    uint32_t User2() {
        SessionDesc d;
        EXPECT_TRUE(SUCCEEDED(engine.GetSessionDesc(d)));
        return d.dwUser2;
    }
    bool Enabled(Dialog& d) { return d.IsWindowEnabled(IDC_USE_NEW_SETTINGS); }
    const MessageBoxRequest& LastBox() { return desk.Boxes().back().request; }
    void Answer(int button) {
        Operator([this, button](Dialog&, HWND) { desk.AnswerBox(desk.Boxes().back().id, button); });
    }

    MessageBoxHandler previousBoxes;
    CountingEngine engine;
    ConfigContext cfg;
    uint32_t unrestrict = 0;
    std::vector<uint32_t> censuses;
    std::vector<std::pair<uint32_t, uint32_t>> censusSaw;  // WIN_CRITERIA, unrestrict
    std::vector<SessionDesc> summaries;
};

TEST_F(SettingsDialogTest, OpensFromTheSessionAndEnablesApplyOnlyWhileSomethingDiffers) {
    Operator([&](Dialog& d, HWND h) {
        EXPECT_EQ(Checks(d, {IDC_UNLIMITED_FUEL, IDC_UNLIMITED_AMMO, IDC_SUN_GLARE, IDC_G_EFFECTS, IDC_ALLOW_PAUSE,
                             IDC_VICTORY_NONE, IDC_VICTORY_LAST_ALIVE}),
                  "..xx.x.");
        EXPECT_EQ(d.GetDlgItemText(IDC_FLIGHT_MODEL), "Hard");
        EXPECT_EQ(d.GetDlgItemText(IDC_WEAPON_STRENGTH), "Normal");
        EXPECT_EQ(d.GetItemText(IDC_START_TIME, 48), " ");
        EXPECT_EQ(d.GetCurSel(IDC_START_TIME), 24);
        EXPECT_FALSE(Enabled(d));
        EXPECT_TRUE(desk.PressEnter(h));  // no default button: IDOK, ignored
        EXPECT_FALSE(d.ended());

        // Each change enables the button; taking it back disables it again.
        const std::pair<std::function<void()>, std::function<void()>> changes[] = {
            {[&] { desk.SelectItem(h, IDC_WEAPON_STRENGTH, 2); }, [&] { desk.SelectItem(h, IDC_WEAPON_STRENGTH, 0); }},
            {[&] { desk.Click(h, IDC_VICTORY_LAST_ALIVE); }, [&] { desk.Click(h, IDC_VICTORY_NONE); }},
            {[&] { desk.SelectItem(h, IDC_START_TIME, 25); }, [&] { desk.SelectItem(h, IDC_START_TIME, 24); }},
            {[&] { desk.Click(h, IDC_NO_FUN_TARGETS); }, [&] { desk.Click(h, IDC_NO_FUN_TARGETS); }},
        };
        for (const auto& [change, undo] : changes) {
            change();
            EXPECT_TRUE(Enabled(d));
            undo();
            EXPECT_FALSE(Enabled(d));
        }
        // The blank entry keeps the start time: choosing it is no change.
        desk.SelectItem(h, IDC_START_TIME, 48);
        EXPECT_FALSE(Enabled(d));
        desk.Click(h, IDC_SUN_GLARE);
        desk.CloseBox(h);
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(User2(), kUser2);
    EXPECT_EQ(engine.setDescCalls, 0);
    EXPECT_TRUE(censuses.empty());
    EXPECT_TRUE(summaries.empty());
    EXPECT_EQ(GetTimeOfDay(cfg), 43200);
}

// Host values (no-fun flags, start time) stay on the host: no description write, no census.
TEST_F(SettingsDialogTest, HostValuesAloneStayOnTheHost) {
    EXPECT_EQ(Apply({IDC_NO_FUN_PLAYERS}), 1);
    EXPECT_EQ(cfg.settings.NO_LOCK_OR_RADAR_PLAYERS, 1);
    EXPECT_EQ(cfg.settings.NO_LOCK_OR_RADAR_TARGETS, 0);
    EXPECT_EQ(GetTimeOfDay(cfg), 43200);
    EXPECT_TRUE(censuses.empty());
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].dwUser2, kUser2);

    // A new start time; the reopened dialog shows the no-fun flag.
    Operator([&](Dialog& d, HWND) { EXPECT_EQ(d.IsDlgButtonChecked(IDC_NO_FUN_PLAYERS), BST_CHECKED); });
    EXPECT_EQ(Apply({}, {{IDC_START_TIME, 15}}), 1);
    EXPECT_EQ(GetTimeOfDay(cfg), 27000);

    // A start time off the list is kept unless a half hour is chosen.
    SetTimeOfDay(cfg, 12 * 3600 + 15 * 60);
    Operator([&](Dialog& d, HWND) { EXPECT_EQ(d.GetCurSel(IDC_START_TIME), 48); });
    EXPECT_EQ(Apply({IDC_NO_FUN_TARGETS}), 1);
    EXPECT_EQ(cfg.settings.NO_LOCK_OR_RADAR_TARGETS, 1);
    EXPECT_EQ(GetTimeOfDay(cfg), 44100);  // not 48 half hours
    EXPECT_EQ(Apply({}, {{IDC_START_TIME, 25}}), 1);
    EXPECT_EQ(GetTimeOfDay(cfg), 45000);
    EXPECT_EQ(engine.setDescCalls, 0);
}

// Session values go to the description, then the census and the summary.
TEST_F(SettingsDialogTest, SessionValuesGoToTheDescriptionThenTheCensusAndSummary) {
    EXPECT_EQ(Apply({IDC_VICTORY_LAST_ALIVE, IDC_UNLIMITED_FUEL, IDC_UNLIMITED_AMMO, IDC_SUN_GLARE, IDC_G_EFFECTS,
                     IDC_ALLOW_PAUSE},
                    {{IDC_FLIGHT_MODEL, 0}, {IDC_WEAPON_STRENGTH, 1}}),
              1);
    const uint32_t expected = 0x1 | 0x4 | 0x8 | (3u << 5) | (1u << 8) | kFuel | kAmmo | (1u << 22) | (1u << 24);
    EXPECT_EQ(User2(), expected);
    EXPECT_EQ(cfg.settings.WIN_CRITERIA, 2u);
    EXPECT_EQ(engine.setDescCalls, 1);
    ASSERT_EQ(censuses, std::vector<uint32_t>{1});
    EXPECT_EQ(censusSaw[0].first, 2u);  // the census pushes the new criterion
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].dwUser2, expected);
    EXPECT_EQ(summaries[0].sessionName, std::u16string(u"Dogfight[]notes[]AAAAAAAAAAAA[]AAAAAAAAAAAA"));
    EXPECT_EQ(cfg.settings.NO_LOCK_OR_RADAR_PLAYERS, 0);
    Operator([&](Dialog& d, HWND) {
        EXPECT_EQ(d.IsDlgButtonChecked(IDC_VICTORY_LAST_ALIVE), BST_CHECKED);
        EXPECT_EQ(d.GetDlgItemText(IDC_WEAPON_STRENGTH), "Strong");
    });
    EXPECT_EQ(Apply({IDC_VICTORY_NONE}), 1);
    EXPECT_EQ(User2(), expected & ~0x4u);
    EXPECT_EQ(cfg.settings.WIN_CRITERIA, 0u);

}

TEST_F(SettingsDialogTest, UnrestrictAllTeamsAsksFirst) {
    // With another change pending, No unchecks the box and keeps only that change.
    Operator([&](Dialog&, HWND h) {
        desk.Click(h, IDC_SUN_GLARE);
        desk.Click(h, IDC_UNRESTRICT_TEAMS);
    });
    Operator([&](Dialog& d, HWND) {
        EXPECT_EQ(LastBox().text,
                  "Note: Aircraft are always restricted until players join a team.\n\n"
                  "Are you sure you want to unrestrict all teams?");
        EXPECT_EQ(LastBox().buttons, MbButtons::YesNo);
        EXPECT_EQ(LastBox().defaultButton, IDNO);
        EXPECT_FALSE(desk.AcceptsInput(d.hwnd()));
    });
    Answer(IDNO);
    Operator([&](Dialog& d, HWND h) {
        EXPECT_EQ(d.IsDlgButtonChecked(IDC_UNRESTRICT_TEAMS), BST_UNCHECKED);
        EXPECT_TRUE(Enabled(d));
        desk.Click(h, IDC_SUN_GLARE);
        EXPECT_FALSE(Enabled(d));
        desk.Click(h, IDC_UNRESTRICT_TEAMS);
    });
    Answer(IDYES);
    Operator([&](Dialog& d, HWND) {
        EXPECT_EQ(d.IsDlgButtonChecked(IDC_UNRESTRICT_TEAMS), BST_CHECKED);
        EXPECT_TRUE(Enabled(d));
    });
    EXPECT_EQ(Apply({}), 1);
    EXPECT_EQ(unrestrict, 1u);
    EXPECT_EQ(engine.setDescCalls, 1);
    EXPECT_EQ(User2(), kUser2);
    ASSERT_EQ(censusSaw.size(), 1u);
    EXPECT_EQ(censusSaw[0].second, 1u);

    // Unchecking needs no confirmation.
    const std::size_t boxes = desk.Boxes().size();
    EXPECT_EQ(Apply({IDC_UNRESTRICT_TEAMS}), 1);
    EXPECT_EQ(desk.Boxes().size(), boxes);
    EXPECT_EQ(unrestrict, 0u);
}

}  // namespace
}  // namespace qd

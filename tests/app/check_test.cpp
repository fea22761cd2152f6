#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/startup.h"
#include "platform/temp_dir.h"

namespace qd {
namespace {

using nlohmann::json;

json check(const std::filesystem::path& dir, int expectedStatus = 0) {
    std::ostringstream out, err;
    EXPECT_EQ(RunCheck(dir, true, out, err), expectedStatus) << err.str();
    return json::parse(out.str());
}

// Each member of `want` is in `j` with that value; objects compare member by member.
void ExpectHas(const json& j, const json& want, const std::string& at = "") {
    for (const auto& [key, value] : want.items()) {
        if (value.is_object()) ExpectHas(j[key], value, at + key + ".");
        else EXPECT_EQ(j[key], value) << at + key;
    }
}

// The findings whose message contains `text`, as "file:line".
std::vector<std::string> Findings(const json& j, const std::string& text) {
    std::vector<std::string> out;
    for (const auto& w : j["warnings"])
        if (w.dump().find(text) != std::string::npos)
            out.push_back(w["file"].get<std::string>() + ":" + w["line"].dump());
    return out;
}

bool Logged(const json& j, const std::string& start) {
    for (const auto& l : j["logLines"])
        if (l.get<std::string>().starts_with(start)) return true;
    return false;
}

TEST(Check, SampleWorkingDirectoryStarts) {
    const auto j = check(QUARNELD_SOURCE_DIR "/sample");
    ExpectHas(j, R"({"ok":true,"prefs":{"simulatorVersion":2},"warnings":[]})"_json);
    EXPECT_GE(j["targets"].size(), 4u);
    EXPECT_GE(j["teams"].size(), 5u);
    // The team count reaches dwUser1 bits 8..15 as the main window writes it.
    EXPECT_EQ((j["session"]["dwUser1"].get<uint32_t>() >> 8) & 0xFF, j["teams"].size());
}

TEST(Check, ReportsClampsGapsAndDefaultsWithFileAndLine) {
    const testing::TempDir dir;
    dir.write("quarneld/quarneld.ini", "[QDL_USER_PREFS]\nCFS_VERSION=2\nSESSION_CFG_NAME=Squad\n");
    std::string cfg = "[QDL_SETTINGS]\nMAX_PLAYERS=300\nTIME_OF_DAY=7:30\nWIN_CRITERIA=7\n"
                      "[QDL_TEAM.B0]\nSTART_SPEED=-5\nSTART_IN_AIR=1\n";
    for (int i = 0; i < 40; ++i) cfg += "[QDL_OBJECT." + std::to_string(i) + "]\nNAME=T" + std::to_string(i) + "\n";
    dir.write("quarneld/configs/Squad.cfg", cfg + "[QDL_OBJECT.45]\nNAME=late\n");
    const auto j = check(dir.path());
    // The clamped values themselves are the configuration's; check shows what run would load.
    EXPECT_EQ(j["targets"].size(), 32u) << "at most 32 targets";
    ExpectHas(j, R"({"settings":{"TIME_OF_DAY":27000,"WIN_CRITERIA":2}})"_json);
    EXPECT_EQ(j["session"]["dwUser1"], 0x0A0502FF) << "2 teams, 255 players";
    ASSERT_EQ(j["teams"].size(), 2u);
    EXPECT_EQ(j["teams"][1]["name"], "Target ") << "the default Target team follows";
    // Every finding names its file and a line.
    EXPECT_EQ(Findings(j, "MAX_PLAYERS"), std::vector<std::string>{"quarneld/configs/Squad.cfg:2"}) << j["warnings"];
    EXPECT_EQ(Findings(j, "START_SPEED"), std::vector<std::string>{"quarneld/configs/Squad.cfg:6"}) << j["warnings"];
    EXPECT_FALSE(Findings(j, "OBJECT.45").empty() && Findings(j, "OBJECT.32").empty()) << j["warnings"];
    for (const auto& f : Findings(j, "")) EXPECT_TRUE(f.starts_with("quarneld/configs/Squad.cfg:")) << f;
}

// What check prints is what run loads: the teams take the settings' player limit, byte-order
// marks are skipped and UTF-16 refused, each said once with the file; and check writes
// nothing, not even the connection lists of a host running beside it.
TEST(Check, LoadsAsRunDoesAndWritesNothing) {
    const testing::TempDir dir;
    dir.write("quarneld/quarneld.ini", "\xEF\xBB\xBF[QDL_USER_PREFS]\nCFS_VERSION=2\nSESSION_CFG_NAME=Squad\n");
    dir.write("quarneld/configs/Squad.cfg",
              "\xEF\xBB\xBF[QDL_TEAM.B0]\nCOLOR=3\n[QDL_SETTINGS]\nMAX_PLAYERS=8\nMAX_PLAYERS_PER_TEAM=3\n"
              "[QDL_TEAM.A0]\nMAX_PLAYERS=2\n");
    dir.write("quarneld/xconnect.txt", "Ignored sockets\n\nthe lists of a live host\n");
    dir.write("quarneld/qdlerror.txt", "\n\n*** New run, v1.39 ***\n\n");
    const auto before = testing::DirectorySnapshot(dir.path());
    const auto j = check(dir.path());
    std::ostringstream text, err;
    EXPECT_EQ(RunCheck(dir.path(), false, text, err), 0);
    EXPECT_EQ(testing::DirectorySnapshot(dir.path()), before);

    // The preferences' and the teams' first sections are read; a team without MAX_PLAYERS
    // takes MAX_PLAYERS_PER_TEAM.
    ExpectHas(j, R"({"prefs":{"simulatorVersion":2},"session":{"dwMaxPlayers":8}})"_json);
    ASSERT_EQ(j["teams"].size(), 3u) << j["teams"];
    ExpectHas(j["teams"][0], R"({"name":"Bomber ","maxPlayers":3})"_json);
    EXPECT_EQ(j["teams"][1]["maxPlayers"], 2);
    EXPECT_EQ(Findings(j, "byte-order mark"),
              (std::vector<std::string>{"quarneld/quarneld.ini:0", "quarneld/configs/Squad.cfg:0"}))
        << j["warnings"];
    EXPECT_NE(text.str().find("\"Bomber \" Bomber colour 3  max players 3"), std::string::npos) << text.str();

    // A UTF-16 file is refused, not read as garbage.
    const testing::TempDir wide;
    wide.write("quarneld/quarneld.ini", std::string("\xFF\xFE[\0Q\0D\0L\0_\0", 10));
    const auto w = check(wide.path());
    EXPECT_EQ(w["prefs"]["simulatorVersion"], 1);
    ASSERT_EQ(w["warnings"].size(), 1u) << w["warnings"];
    EXPECT_EQ(w["warnings"][0]["message"], "UTF-16 text is not read: every value in it takes its default");
    EXPECT_TRUE(Logged(w, "quarneld/quarneld.ini is UTF-16 text and is not read")) << w["logLines"];
}

TEST(Check, MissingWorkingDirectoryOrFilesGiveDefaultsOrStatusOne) {
    std::ostringstream out, err;
    EXPECT_EQ(RunCheck("/nonexistent/quarneld", false, out, err), 1);
    EXPECT_NE(err.str().find("does not exist"), std::string::npos);

    // No preferences, no configuration: the default Target team alone and version 1's
    // built-in session, byte for byte.
    const testing::TempDir empty;
    const auto j = check(empty.path());
    ASSERT_EQ(j["teams"].size(), 1u);
    EXPECT_EQ(j["teams"][0]["name"], "Target ");
    EXPECT_EQ(j["session"], R"({"dwFlags":4,"dwMaxPlayers":16,"dwUser1":168100112,"dwUser2":394249,
        "dwUser3":602408436,"dwUser4":150,"sessionName":"(none)[](none)[]AAAAAAAAAAAA[]AAAAAAAAAAAA"})"_json);
    // The failed aircraft check is reported as start-up would log it, without touching
    // the working directory's own log.
    EXPECT_TRUE(Logged(j, "Target #0, 'aircraft=windsock'")) << j["logLines"];
    EXPECT_FALSE(std::filesystem::exists(empty.path() / "quarneld/qdlerror.txt"));
}

}  // namespace
}  // namespace qd

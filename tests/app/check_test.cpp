#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/startup.h"
#include "platform/log.h"
#include "platform/temp_dir.h"

namespace qd {
namespace {

nlohmann::json check(const std::filesystem::path& dir, int& status) {
    std::ostringstream out, err;
    status = RunCheck(dir, true, out, err);
    return nlohmann::json::parse(out.str());
}

TEST(Check, SampleWorkingDirectoryStarts) {
    int status = -1;
    const auto j = check(QUARNELD_SOURCE_DIR "/sample", status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(j["ok"].get<bool>());
    EXPECT_EQ(j["prefs"]["simulatorVersion"], 2);
    EXPECT_GE(j["targets"].size(), 4u);
    EXPECT_GE(j["teams"].size(), 5u);
    // The team count reaches dwUser1 bits 8..15 as the main window writes it.
    EXPECT_EQ((j["session"]["dwUser1"].get<uint32_t>() >> 8) & 0xFF, j["teams"].size());
    EXPECT_TRUE(j["warnings"].empty()) << j["warnings"].dump();
}

TEST(Check, ReportsClampsGapsAndDefaultsWithFileAndLine) {
    const testing::TempDir dir;
    dir.write("quarneld/quarneld.ini", "[QDL_USER_PREFS]\nCFS_VERSION=2\nSESSION_CFG_NAME=Squad\n");
    std::string cfg =
        "[QDL_SETTINGS]\n"
        "MAX_PLAYERS=300\n"
        "TIME_OF_DAY=7:30\n"
        "WIN_CRITERIA=7\n"
        "[QDL_TEAM.B0]\n"
        "START_SPEED=-5\n"
        "START_IN_AIR=1\n";
    for (int i = 0; i < 40; ++i) cfg += "[QDL_OBJECT." + std::to_string(i) + "]\nNAME=T" + std::to_string(i) + "\n";
    cfg += "[QDL_OBJECT.45]\nNAME=late\n";
    dir.write("quarneld/configs/Squad.cfg", cfg);
    int status = -1;
    const auto j = check(dir.path(), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(j["targets"].size(), 32u) << "at most 32 targets";
    EXPECT_EQ(j["session"]["dwMaxPlayers"], 255);
    EXPECT_EQ(j["session"]["dwUser3"], 0x23E81388) << "version 2 starts at 5000 ft";
    EXPECT_EQ(j["settings"]["TIME_OF_DAY"], 27000);
    EXPECT_EQ(j["settings"]["WIN_CRITERIA"], 2);
    ASSERT_EQ(j["teams"].size(), 2u);
    EXPECT_EQ(j["teams"][0]["name"], "Bomber ");
    EXPECT_EQ(j["teams"][0]["startSpeed"], 300);
    EXPECT_EQ(j["teams"][1]["name"], "Target ") << "the default Target team follows";
    EXPECT_EQ((j["session"]["dwUser1"].get<uint32_t>() >> 8) & 0xFF, 2u);
    // Every finding names its file and a line.
    bool maxPlayersWarned = false, speedWarned = false, lateWarned = false;
    for (const auto& w : j["warnings"]) {
        const std::string text = w.dump();
        EXPECT_NE(w["file"].get<std::string>().find("Squad.cfg"), std::string::npos) << text;
        if (text.find("MAX_PLAYERS") != std::string::npos && w["line"] == 2) maxPlayersWarned = true;
        if (text.find("START_SPEED") != std::string::npos && w["line"] == 6) speedWarned = true;
        if (text.find("OBJECT.45") != std::string::npos || text.find("OBJECT.32") != std::string::npos)
            lateWarned = true;
    }
    EXPECT_TRUE(maxPlayersWarned) << j["warnings"].dump(1);
    EXPECT_TRUE(speedWarned) << j["warnings"].dump(1);
    EXPECT_TRUE(lateWarned) << j["warnings"].dump(1);
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
    int status = -1;
    const auto j = check(dir.path(), status);
    std::ostringstream text, err;
    EXPECT_EQ(RunCheck(dir.path(), false, text, err), 0);
    EXPECT_EQ(testing::DirectorySnapshot(dir.path()), before);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(j["prefs"]["simulatorVersion"], 2) << "the preferences' first section is read";
    EXPECT_EQ(j["session"]["dwMaxPlayers"], 8);
    ASSERT_EQ(j["teams"].size(), 3u) << j["teams"].dump();
    EXPECT_EQ(j["teams"][0]["name"], "Bomber ") << "the first team section is read";
    EXPECT_EQ(j["teams"][0]["maxPlayers"], 3) << "a team without MAX_PLAYERS takes MAX_PLAYERS_PER_TEAM";
    EXPECT_EQ(j["teams"][1]["maxPlayers"], 2);
    std::vector<std::string> boms;
    for (const auto& w : j["warnings"])
        if (w["message"].get<std::string>().find("byte-order mark") != std::string::npos) boms.push_back(w["file"]);
    EXPECT_EQ(boms, (std::vector<std::string>{"quarneld/quarneld.ini", "quarneld/configs/Squad.cfg"}))
        << j["warnings"].dump(1);
    EXPECT_NE(text.str().find("\"Bomber \" Bomber colour 3  max players 3"), std::string::npos) << text.str();

    // A UTF-16 file is refused, not read as garbage.
    const testing::TempDir wide;
    wide.write("quarneld/quarneld.ini", std::string("\xFF\xFE[\0Q\0D\0L\0_\0", 10));
    const auto w = check(wide.path(), status);
    EXPECT_EQ(w["prefs"]["simulatorVersion"], 1);
    ASSERT_EQ(w["warnings"].size(), 1u) << w["warnings"].dump(1);
    EXPECT_EQ(w["warnings"][0]["message"], "UTF-16 text is not read: every value in it takes its default");
    bool logged = false;
    for (const auto& l : w["logLines"])
        logged |= l.get<std::string>().starts_with("quarneld/quarneld.ini is UTF-16 text and is not read");
    EXPECT_TRUE(logged) << w["logLines"].dump();
}

TEST(Check, MissingWorkingDirectoryOrFilesGiveDefaultsOrStatusOne) {
    int status = -1;
    std::ostringstream out, err;
    EXPECT_EQ(RunCheck("/nonexistent/quarneld", false, out, err), 1);
    EXPECT_NE(err.str().find("does not exist"), std::string::npos);

    const testing::TempDir empty;  // no preferences, no configuration: the default object and Target team
    const auto j = check(empty.path(), status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(j["targets"].size(), 1u);
    EXPECT_EQ(j["targets"][0]["name"], "DefTarg");
    EXPECT_EQ(j["targets"][0]["aircraft"], "windsock");
    ASSERT_EQ(j["teams"].size(), 1u);
    EXPECT_EQ(j["teams"][0]["name"], "Target ");
    EXPECT_EQ(j["session"]["dwUser1"], 0x0A050110);
    EXPECT_EQ(j["session"]["dwUser2"], 0x60409);
    EXPECT_EQ(j["session"]["sessionName"], "(none)[](none)[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    // The failed aircraft check is reported as start-up would log it, without touching
    // the working directory's own log.
    bool logged = false;
    for (const auto& l : j["logLines"]) logged |= l.get<std::string>() == "Target #0, 'aircraft=windsock'";
    EXPECT_TRUE(logged) << j["logLines"].dump();
    EXPECT_FALSE(std::filesystem::exists(empty.path() / "quarneld/qdlerror.txt"));
}

}  // namespace
}  // namespace qd

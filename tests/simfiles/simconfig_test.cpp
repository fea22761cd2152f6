#include "simfiles/simconfig.h"

#include "workdir.h"

namespace qd {
namespace {

using test::WorkDir;

TEST(SimulatorConfig, MultiplayerSectionIsPointedAtTheHost) {
    WorkDir wd;
    wd.Write("cfs2.cfg",
             "[MAIN]\nX=1\n[Multiplayer] ; trailing text\nName=Pilot\nsp_protocol_address=10.9.9.9\n"
             "Skip_Dun_Warning=0\n[OTHER]\nSP_PROTOCOL_ADDRESS=1.1.1.1\nkeep=1\nlast=dropped");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 2, "192.168.1.20"), 0);
    EXPECT_EQ(wd.Read("origcfs2.cfg"),
              "[MAIN]\nX=1\n[Multiplayer] ; trailing text\nSP_PROTOCOL_ADDRESS=192.168.1.20\nSKIP_DUN_WARNING=1\n"
              "Name=Pilot\n[OTHER]\nkeep=1\n");
    EXPECT_EQ(wd.Read("cfs2.cfg").substr(0, 6), "[MAIN]");  // the simulator's own file is untouched

    // CR LF files get CR LF added lines; only the first [MULTIPLAYER] line inserts.
    wd.Write("cfs2.cfg", "[MULTIPLAYER]\r\nA=1\r\n[MULTIPLAYER]\r\n");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 2, "127.0.0.1"), 0);
    EXPECT_EQ(wd.Read("origcfs2.cfg"),
              "[MULTIPLAYER]\r\nSP_PROTOCOL_ADDRESS=127.0.0.1\r\nSKIP_DUN_WARNING=1\r\nA=1\r\n[MULTIPLAYER]\r\n");

    // A leading blank hides the section; the file is copied as it is (but its last line
    // has no line end and is left out).
    wd.Write("cfs2.cfg", " [MULTIPLAYER]\nSP_PROTOCOL_ADDRESS=1.2.3.4\n[MULTIPLAYE]\nend");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 2, "10.0.0.1"), 0);
    EXPECT_EQ(wd.Read("origcfs2.cfg"), " [MULTIPLAYER]\nSP_PROTOCOL_ADDRESS=1.2.3.4\n[MULTIPLAYE]\n");

    // A 300-character address line after the section: its first 255-character piece
    // begins with the key and is dropped, the rest is copied as a line of its own.
    const std::string longLine = "SP_PROTOCOL_ADDRESS=" + std::string(280, '9');
    wd.Write("combatfs.cfg", "[MULTIPLAYER]\n" + longLine + "\nZ=1\n");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 1, "10.0.0.2"), 0);
    EXPECT_EQ(wd.Read("origcombatfs.cfg"),
              "[MULTIPLAYER]\nSP_PROTOCOL_ADDRESS=10.0.0.2\nSKIP_DUN_WARNING=1\n" + std::string(45, '9') + "\nZ=1\n");
}

TEST(SimulatorConfig, FileChoiceAndFailures) {
    WorkDir wd;
    EXPECT_EQ(WriteSimulatorConfig(wd.path(), 2, "10.0.0.1"), -1);  // no cfs2.cfg
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "origcfs2.cfg"));

    wd.Write("COMBATFS.CFG", "[multiplayer]\n");  // found whatever its letter case
    wd.Write("origcombatfs.cfg", "old content that is replaced\n");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 3, "10.0.0.3"), 0);  // any version but 2 is version 1
    EXPECT_EQ(wd.Read("origcombatfs.cfg"), "[multiplayer]\nSP_PROTOCOL_ADDRESS=10.0.0.3\nSKIP_DUN_WARNING=1\n");

    wd.Write("cfs2.cfg", "[MULTIPLAYER]\n");
    wd.Mkdir("origcfs2.cfg");  // the copy cannot be created
    EXPECT_EQ(WriteSimulatorConfig(wd.path(), 2, "10.0.0.1"), -1);
    EXPECT_EQ(SimulatorConfigName(2), std::string("cfs2.cfg"));
    EXPECT_EQ(SimulatorConfigCopyName(1), std::string("origcombatfs.cfg"));
}

}  // namespace
}  // namespace qd

#include "app/autoboot.h"

#include <gtest/gtest.h>

#include "config/fixture.h"

namespace qd {
namespace {

using testing::Workdir;
using namespace std::string_literals;

using Names = std::vector<std::string>;

TEST(Autoboot, FileLinesBecomeEntriesAsTheTextReaderCutsThem) {
    Workdir wd;
    std::string long300(300, 'x');
    std::string exact255(255, 'y');
    wd.write("quarneld/autoboot.txt", "alice\nBob\r\n\n" + long300 + "\n" + exact255 + "\nab\rcd\nnul\0ed\ncarol"s);
    AutobootList list(wd.path());
    EXPECT_EQ(list.Entries(), (Names{"alice", "Bob", "\n", std::string(255, 'x'), std::string(45, 'x'), exact255,
                                     "\n", "ab", "nul"}));
    // Letter case counts; the last line without a line end, blank lines and a name that
    // came back in two pieces match nobody; names end at NUL.
    const std::pair<std::string, bool> names[] = {
        {"alice", true}, {"Bob", true}, {exact255, true}, {"ALICE", false}, {"carol", false}, {"", false},
        {long300, false}, {std::string("alice\0x", 7), true}, {"nul", true},
    };
    for (const auto& [name, kept] : names) EXPECT_EQ(list.IsAutobooted(name), kept) << name;
}

TEST(Autoboot, ReadOnceThenGrowsInMemoryAndTheFileOnlyByRememberedNames) {
    Workdir wd;
    AutobootList list(wd.path());
    EXPECT_FALSE(list.IsAutobooted("early"));  // no file: empty list, and loaded
    wd.write("quarneld/autoboot.txt", "early\n");
    EXPECT_FALSE(list.IsAutobooted("early"));  // the file is not read again

    list.AddAutobootName("Rude");
    EXPECT_TRUE(list.IsAutobooted("Rude"));
    EXPECT_TRUE(list.RememberAutobootName("Cheat"));
    EXPECT_TRUE(list.RememberAutobootName("Cheat"));
    EXPECT_EQ(wd.read("quarneld/autoboot.txt"), "early\nCheat\nCheat\n");
    EXPECT_EQ(list.Entries(), (Names{"Rude", "Cheat", "Cheat"}));

    // After a restart only the remembered names (and the file's own) are kept out.
    AutobootList next(wd.path());
    EXPECT_TRUE(next.IsAutobooted("Cheat"));
    EXPECT_TRUE(next.IsAutobooted("early"));
    EXPECT_FALSE(next.IsAutobooted("Rude"));
}

TEST(Autoboot, NamesTheFileCannotHoldStayForThisRunAndAreLogged) {
    Workdir wd;
    AutobootList list(wd.path());
    // "bob\nalice" written as is would keep alice out after a restart.
    EXPECT_FALSE(list.RememberAutobootName("bob\nalice"));
    EXPECT_FALSE(list.RememberAutobootName(std::string(255, 'z') + "alice"));
    EXPECT_TRUE(list.RememberAutobootName(std::string(255, 'w')));
    EXPECT_TRUE(list.IsAutobooted("bob\nalice"));
    EXPECT_EQ(wd.read("quarneld/autoboot.txt"), std::string(255, 'w') + "\n");
    ASSERT_EQ(wd.LogLines().size(), 2u);
    EXPECT_TRUE(wd.LogLines()[0].ends_with(": bob\\nalice"));

    AutobootList next(wd.path());
    EXPECT_FALSE(next.IsAutobooted("alice"));
    EXPECT_TRUE(next.IsAutobooted(std::string(255, 'w')));
}

TEST(Autoboot, AHugeFileIsCutAtTheEntryLimit) {
    Workdir wd;
    wd.write("quarneld/autoboot.txt", "a\nb\nc\nd\ne\n");
    AutobootList list(wd.path(), 3);
    EXPECT_EQ(list.Entries(), (Names{"a", "b", "c"}));
    EXPECT_FALSE(list.IsAutobooted("d"));
    ASSERT_EQ(wd.LogLines().size(), 1u);
    EXPECT_NE(wd.LogLines()[0].find("more than 3 names"), std::string::npos);
    // Names added at run time are the operator's and are not limited.
    list.AddAutobootName("d");
    EXPECT_TRUE(list.IsAutobooted("d"));
}

}  // namespace
}  // namespace qd

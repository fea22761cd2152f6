#include <gtest/gtest.h>

#include <cstring>

#include "platform/profile.h"
#include "temp_dir.h"

namespace qd::profile {
namespace {

using qd::testing::TempDir;

// The file the platform's own conformance tests use, with CR LF, with CR alone, and as an
// editor saves it with a UTF-8 byte-order mark.
const char* const kWineFiles[] = {
    "[section1]\r\nname1=val1\r\nname2=\"val2\"\r\nname3\r\nname4=a\r\n[section2]\r\n",
    "[section1]\rname1=val1\rname2=\"val2\"\rname3\rname4=a\r[section2]\r",
    "\xEF\xBB\xBF[section1]\r\nname1=val1\r\nname2=\"val2\"\r\nname3\r\nname4=a\r\n[section2]\r\n",
};

TEST(Profile, LookupFollowsThePlatformsRules) {
    for (const char* content : kWineFiles) {
        TempDir dir;
        const auto file = dir.write("t.ini", content);
        char buf[260];
        std::memcpy(buf, "kumquat", 8);
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", "default", buf, sizeof buf, file), 4u);
        EXPECT_STREQ(buf, "val1");
        EXPECT_EQ(GetPrivateProfileString("SECTION1", "NaMe1", "default", buf, sizeof buf, file), 4u);
        EXPECT_STREQ(buf, "val1");
        EXPECT_EQ(GetPrivateProfileString("section1", "name2", "default", buf, sizeof buf, file), 4u);
        EXPECT_STREQ(buf, "val2") << "surrounding quotes are removed";
        EXPECT_EQ(GetPrivateProfileString("section1", "notakey", "default", buf, sizeof buf, file), 7u);
        EXPECT_STREQ(buf, "default");
        EXPECT_EQ(GetPrivateProfileString("notasection", "name1", "default  ", buf, sizeof buf, file), 7u);
        EXPECT_STREQ(buf, "default") << "trailing blanks of the default are dropped";
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", nullptr, buf, sizeof buf, dir.path() / "missing.ini"),
                  0u);
        EXPECT_STREQ(buf, "");
        // Truncation to the buffer.
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", "default", buf, 4, file), 3u);
        EXPECT_STREQ(buf, "val");
        EXPECT_EQ(GetPrivateProfileString("section1", "name4", "default", buf, 1, file), 0u);
        EXPECT_STREQ(buf, "");
        std::memcpy(buf, "kumquat", 8);
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", "default", buf, 0, file), 0u);
        EXPECT_STREQ(buf, "kumquat") << "a zero-sized buffer is not touched";
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", "d", 3, file), "va");
        EXPECT_EQ(ReadSections(file).at(0).name, "section1");
    }
    // UTF-16 is not read as 8-bit garbage: the file answers as a missing one would.
    TempDir dir;
    const auto wide = dir.write("w.ini", std::string("\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0v\0", 18));
    EXPECT_EQ(FileEncoding(wide), TextEncoding::Utf16);
    EXPECT_EQ(GetPrivateProfileString("s", "k", "default", 16, wide), "default");
    EXPECT_TRUE(ReadSections(wide).empty());
    EXPECT_EQ(FileEncoding(dir.write("b.ini", kWineFiles[2])), TextEncoding::Utf8Bom);
    EXPECT_EQ(FileEncoding(dir.write("a.ini", kWineFiles[0])), TextEncoding::Bytes);
    EXPECT_EQ(FileEncoding(dir.path() / "missing.ini"), TextEncoding::Missing);
}

TEST(Profile, FirstSectionAndFirstKeyWinAndBlanksAreTrimmed) {
    TempDir dir;
    const auto file = dir.write("t.ini",
                                "  [ Alpha ]  \n"
                                "  key  =  first value  \n"
                                "KEY=second\n"
                                "quoted='x'\n"
                                "mismatched=\"x'\n"
                                "lonequote=\"\n"
                                "; comment=not a key\n"
                                "[alpha]\n"
                                "other=from the second alpha\n"
                                "[broken\n"
                                "after=still alpha\n");
    EXPECT_EQ(GetPrivateProfileString("alpha", "key", "", 256, file), "first value");
    EXPECT_EQ(GetPrivateProfileString("alpha", "quoted", "", 256, file), "x");
    EXPECT_EQ(GetPrivateProfileString("alpha", "mismatched", "", 256, file), "\"x'");
    EXPECT_EQ(GetPrivateProfileString("alpha", "lonequote", "", 256, file), "\"");
    EXPECT_EQ(GetPrivateProfileString("alpha", "; comment", "dflt", 256, file), "dflt");
    EXPECT_EQ(GetPrivateProfileString("alpha", "other", "dflt", 256, file), "dflt")
        << "only the first section of a name is searched";
    EXPECT_EQ(FindKeyLine("ALPHA", "Key", file), 2);
    EXPECT_EQ(FindKeyLine("alpha", "nothing", file), 0);

    const auto sections = ReadSections(file);
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].name, "Alpha");
    EXPECT_EQ(sections[0].line, 1);
    ASSERT_GE(sections[0].keys.size(), 2u);
    EXPECT_EQ(sections[0].keys[1].key, "KEY");
    EXPECT_EQ(sections[0].keys[1].line, 3);
    EXPECT_EQ(sections[1].keys.back().key, "after") << "a header without ']' does not start a section";
}

TEST(Profile, SectionNamesAreListedAndCutLikeThePlatform) {
    TempDir dir;
    const auto file = dir.write("t.ini", "[ section1 ]\r\n[section2]\r\n[section3]\r\n");
    char buf[100];
    std::memset(buf, 0xc, sizeof buf);
    EXPECT_EQ(GetPrivateProfileSectionNames(buf, 29, file), 27u);
    EXPECT_EQ(std::memcmp(buf, "section1\0section2\0section3\0\0", 28), 0);
    std::memset(buf, 0xc, sizeof buf);
    EXPECT_EQ(GetPrivateProfileSectionNames(buf, 28, file), 26u) << "the platform answers size - 2 here";
    EXPECT_EQ(buf[26], 0);
    EXPECT_EQ(buf[27], 0);
    std::memset(buf, 0xc, sizeof buf);
    EXPECT_EQ(GetPrivateProfileSectionNames(buf, 27, file), 25u);
    // A name that does not fit is left out whole, never cut into another name.
    EXPECT_EQ(std::memcmp(buf, "section1\0section2\0\0", 19), 0);
    std::memset(buf, 0xc, sizeof buf);
    EXPECT_EQ(GetPrivateProfileSectionNames(buf, 10, dir.path() / "not_here.ini"), 0u);
    EXPECT_EQ(buf[0], 0);
}

TEST(Profile, ChangedFileIsReadAgain) {
    TempDir dir;
    auto file = dir.write("t.ini", "[s]\nk=1\n");
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", 16, file), "1");
    file = dir.write("t.ini", "[s]\nk=22\n");
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", 16, file), "22");
    std::filesystem::remove(file);
    EXPECT_EQ(GetPrivateProfileString("s", "k", "gone", 16, file), "gone");
}

}  // namespace
}  // namespace qd::profile

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
    // Section, key, default, buffer size, the answer.
    const std::tuple<const char*, const char*, const char*, std::size_t, const char*> cases[] = {
        {"section1", "name1", "default", 260, "val1"},
        {"SECTION1", "NaMe1", "default", 260, "val1"},
        {"section1", "name2", "default", 260, "val2"},  // surrounding quotes are removed
        {"section1", "notakey", "default", 260, "default"},
        {"notasection", "name1", "default  ", 260, "default"},  // trailing blanks of the default are dropped
        {"section1", "name1", "default", 4, "val"},  // cut to the buffer
        {"section1", "name4", "default", 1, ""},
    };
    for (const char* content : kWineFiles) {
        TempDir dir;
        const auto file = dir.write("t.ini", content);
        for (auto [section, key, dflt, size, answer] : cases) {
            char buf[260] = "kumquat";
            EXPECT_EQ(GetPrivateProfileString(section, key, dflt, buf, size, file), std::strlen(answer));
            EXPECT_STREQ(buf, answer) << key;
            EXPECT_EQ(GetPrivateProfileString(section, key, dflt, size, file), answer) << key;
        }
        char buf[8] = "kumquat";
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", "default", buf, 0, file), 0u);
        EXPECT_STREQ(buf, "kumquat") << "a zero-sized buffer is not touched";
        EXPECT_EQ(GetPrivateProfileString("section1", "name1", "default", 0, file), "");
        EXPECT_EQ(ReadSections(file).at(0).name, "section1");
    }
    // A missing file with no default answers the empty text (UTF-16 and byte-order marks:
    // Check.LoadsAsRunDoesAndWritesNothing).
    TempDir dir;
    char buf[8] = "kumquat";
    EXPECT_EQ(GetPrivateProfileString("section1", "name1", nullptr, buf, sizeof buf, dir.path() / "missing.ini"), 0u);
    EXPECT_STREQ(buf, "");
}

TEST(Profile, FirstSectionAndFirstKeyWinAndBlanksAreTrimmed) {
    TempDir dir;
    const auto file = dir.write("t.ini", "  [ Alpha ]  \n  key  =  first value  \nKEY=second\nquoted='x'\n"
                                         "mismatched=\"x'\nlonequote=\"\n; comment=not a key\n"
                                         "[alpha]\nother=from the second alpha\n[broken\nafter=still alpha\n");
    // Only the first section of a name is searched.
    for (auto [key, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"key", "first value"}, {"quoted", "x"}, {"mismatched", "\"x'"}, {"lonequote", "\""},
             {"; comment", "dflt"}, {"other", "dflt"}}) {
        EXPECT_EQ(GetPrivateProfileString("alpha", key, "dflt", 256, file), value) << key;
    }
    EXPECT_EQ(std::pair(FindKeyLine("ALPHA", "Key", file), FindKeyLine("alpha", "nothing", file)), std::pair(2, 0));

    const auto sections = ReadSections(file);
    ASSERT_EQ(sections.size(), 2u);
    ASSERT_GE(sections[0].keys.size(), 2u);
    EXPECT_EQ(std::tuple(sections[0].name, sections[0].line, sections[0].keys[1].key, sections[0].keys[1].line),
              std::tuple("Alpha", 1, "KEY", 3));
    EXPECT_EQ(sections[1].keys.back().key, "after") << "a header without ']' does not start a section";
}

TEST(Profile, SectionNamesAreListedAndCutLikeThePlatform) {
    TempDir dir;
    const auto file = dir.write("t.ini", "[ section1 ]\r\n[section2]\r\n[section3]\r\n");
    // The platform answers size - 2 for a list that does not fit with room to spare; a
    // name that does not fit is left out whole, never cut into another name.
    const std::string all("section1\0section2\0section3\0\0", 28), two("section1\0section2\0\0", 19);
    for (auto [size, count, names] : std::initializer_list<std::tuple<std::size_t, std::size_t, std::string>>{
             {29, 27, all}, {28, 26, all}, {27, 25, two}, {1, 0, ""}}) {
        char buf[100];
        std::memset(buf, 0xc, sizeof buf);
        EXPECT_EQ(GetPrivateProfileSectionNames(buf, size, file), count) << size;
        EXPECT_EQ(std::string(buf, size + 1), names + std::string(size - names.size(), '\0') + '\xc') << size;
    }
    char buf[10] = "x";
    EXPECT_EQ(GetPrivateProfileSectionNames(buf, 10, dir.path() / "not_here.ini"), 0u);
    EXPECT_EQ(buf[0], 0);
}

}  // namespace
}  // namespace qd::profile

#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/msgbox.h"
#include "platform/systemd.h"
#include "platform/text.h"
#include "temp_dir.h"

namespace qd {
namespace {

using qd::testing::TempDir;

TEST(ErrorLog, OneBannerPerRunAndAppendAcrossRuns) {
    TempDir dir;
    const std::string banner = "\n\n*** New run, v1.39 ***\n\n";
    std::filesystem::create_directories(dir.path() / "quarneld");
    SetErrorLogPath(dir.path() / "quarneld/qdlerror.txt");
    LogError("first");
    LogError("second");
    EXPECT_EQ(dir.read("quarneld/qdlerror.txt"), banner + "first\nsecond\n");
    SetErrorLogPath(dir.path() / "quarneld/qdlerror.txt");  // a new run
    LogError("third");
    EXPECT_EQ(dir.read("quarneld/qdlerror.txt"), banner + "first\nsecond\n" + banner + "third\n");

    // A log that cannot be opened loses the line; the banner goes before the next one written.
    SetErrorLogPath(dir.path() / "missing-folder/qdlerror.txt");
    LogError("lost");
    SetErrorLogPath(dir.path() / "quarneld/other.txt");
    LogError("kept");
    EXPECT_EQ(dir.read("quarneld/other.txt"), banner + "kept\n");
    SetErrorLogPath("quarneld/qdlerror.txt");
}

TEST(Journal, LevelsOnEachLineAndBoxesByIcon) {
    // Level, text, prefixed, the lines written.
    for (auto [level, text, prefixed, lines] : std::initializer_list<std::tuple<LogLevel, const char*, bool, const char*>>{
             {LogLevel::Error, "[Error] Previous instance of QUARNELD running.\n\tShut it down an try again.", true,
              "<3>[Error] Previous instance of QUARNELD running.\n<3>\tShut it down an try again.\n"},
             {LogLevel::Warning, "one\n", true, "<4>one\n"}, {LogLevel::Info, "", true, "<6>\n"},
             {LogLevel::Notice, "a\nb", false, "a\nb\n"}}) {
        EXPECT_EQ(JournalLines(level, text, prefixed), lines) << text;
    }

    // A box is logged as an error by default (the default caption is "Error"), else by its icon.
    for (auto [caption, icon, level] : std::initializer_list<std::tuple<std::optional<std::string>, MbIcon, LogLevel>>{
             {std::nullopt, MbIcon::None, LogLevel::Error}, {"Note", MbIcon::None, LogLevel::Notice},
             {"Note", MbIcon::Warning, LogLevel::Warning}, {"Note", MbIcon::Error, LogLevel::Error}}) {
        EXPECT_EQ(BoxLogLevel({"", caption, MbButtons::Ok, icon}), level) << caption.value_or("");
    }
}

TEST(Text, Windows1252AndUtf8BothWays) {
    EXPECT_EQ(Win1252ToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(Utf8ToWin1252("\xE6\x97\xA5|a\xC3"), "?|a?");  // no Windows-1252 form; a cut sequence
    for (int c = 1; c < 256; ++c) {
        const std::string one(1, static_cast<char>(c));
        EXPECT_EQ(Utf8ToWin1252(Win1252ToUtf8(one)), one) << c;
    }
}

}  // namespace
}  // namespace qd

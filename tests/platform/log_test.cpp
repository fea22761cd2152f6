#include <gtest/gtest.h>

#include "platform/instance.h"
#include "platform/log.h"
#include "platform/msgbox.h"
#include "platform/text.h"
#include "temp_dir.h"

namespace qd {
namespace {

using qd::testing::TempDir;

TEST(ErrorLog, OneBannerPerRunAndAppendAcrossRuns) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "quarneld");
    SetErrorLogPath(dir.path() / "quarneld/qdlerror.txt");
    LogError("first");
    LogError("second");
    EXPECT_EQ(dir.read("quarneld/qdlerror.txt"), "\n\n*** New run, v1.39 ***\n\nfirst\nsecond\n");
    SetErrorLogPath(dir.path() / "quarneld/qdlerror.txt");  // a new run
    LogError("third");
    EXPECT_EQ(dir.read("quarneld/qdlerror.txt"),
              "\n\n*** New run, v1.39 ***\n\nfirst\nsecond\n\n\n*** New run, v1.39 ***\n\nthird\n");

    // A log that cannot be opened loses the line; the banner goes before the next one written.
    SetErrorLogPath(dir.path() / "missing-folder/qdlerror.txt");
    LogError("lost");
    SetErrorLogPath(dir.path() / "quarneld/other.txt");
    LogError("kept");
    EXPECT_EQ(dir.read("quarneld/other.txt"), "\n\n*** New run, v1.39 ***\n\nkept\n");
    SetErrorLogPath("quarneld/qdlerror.txt");
}

TEST(ErrorLog, ReportErrorFormatsTheCodeIntoAnErrorBox) {
    MessageBoxRequest seen;
    auto previous = SetMessageBoxHandler([&](const MessageBoxRequest& r) {
        seen = r;
        return IDOK;
    });
    ReportError("Could not host session because of error 0x%08X", 0x88770118u);
    EXPECT_EQ(seen.text, "Could not host session because of error 0x88770118");
    EXPECT_EQ(seen.caption.value_or(""), "Error");
    EXPECT_EQ(seen.buttons, MbButtons::Ok);
    SetMessageBoxHandler(previous);
}

TEST(InstanceMarker, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    const std::string name = "quarneld-test-marker-" + std::to_string(::getpid());
    InstanceMarker first, second;
    EXPECT_EQ(first.create(name), InstanceMarker::Result::Created);
    EXPECT_EQ(second.create(name), InstanceMarker::Result::AlreadyExists);
    first.release();
    EXPECT_EQ(second.create(name), InstanceMarker::Result::Created);
}

TEST(Text, Windows1252AndUtf8BothWays) {
    EXPECT_EQ(Win1252ToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(Utf8ToWin1252("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xE9 \x80");
    EXPECT_EQ(Utf8ToWin1252("\xE6\x97\xA5"), "?") << "no Windows-1252 form";
    EXPECT_EQ(Utf8ToWin1252("a\xC3"), "a?") << "cut sequence";
    for (int c = 1; c < 256; ++c) {
        const std::string one(1, static_cast<char>(c));
        EXPECT_EQ(Utf8ToWin1252(Win1252ToUtf8(one)), one) << c;
    }
}

}  // namespace
}  // namespace qd

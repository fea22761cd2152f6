#include "platform/log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/msgbox.h"

namespace qd {

namespace {
std::mutex g_logMutex;
std::filesystem::path g_logPath = "quarneld/qdlerror.txt";
bool g_noLineYet = true;
}  // namespace

void SetErrorLogPath(const std::filesystem::path& path) {
    std::lock_guard lock(g_logMutex);
    g_logPath = path;
    g_noLineYet = true;
}

const std::filesystem::path& ErrorLogPath() { return g_logPath; }

void LogError(std::string_view text) {
    std::lock_guard lock(g_logMutex);
    std::FILE* f = std::fopen(g_logPath.c_str(), "a+");
    if (!f) return;  // the line is lost; the banner waits for the next line that is written
    if (g_noLineYet) {
        std::fputs("\n\n*** New run, v1.39 ***\n\n", f);
        g_noLineYet = false;
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
}

void ReportError(const char* format, uint32_t code) {
    // wsprintfA's limit: the text is cut at 200 characters.
    char text[201];
    std::snprintf(text, sizeof text, format, code);
    ShowMessageBox(MessageBoxRequest{text, std::string("Error"), MbButtons::Ok, MbIcon::Error, false});
}

}  // namespace qd

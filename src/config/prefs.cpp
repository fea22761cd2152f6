#include "config/prefs.h"

#include <cstdio>

#include "config/paths.h"
#include "config/scan.h"
#include "platform/profile.h"

namespace qd {

namespace {
constexpr const char* kSection = "QDL_USER_PREFS";
constexpr std::size_t kValueSize = 4096;
constexpr std::size_t kMacStride = 18;  // "xx-xx-xx-xx-xx-xx,"

std::string MacText(const unsigned (&b)[6]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02x-%02x-%02x-%02x-%02x-%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return buf;
}
}  // namespace

int LoadUserPrefs(ConfigContext& ctx) {
    ctx.prefs = UserPrefs{};
    std::filesystem::path file;
    if (auto p = JoinWorkPath(ctx, "quarneld/quarneld.ini")) file = *p;
    CheckTextEncoding(ctx, file);
    auto read = [&](const char* key, const char* def) -> std::string {
        if (file.empty()) return def;
        return profile::GetPrivateProfileString(kSection, key, def, kValueSize, file);
    };
    auto line = [&](const char* key) { return file.empty() ? 0 : profile::FindKeyLine(kSection, key, file); };

    std::string v = read("CFS_VERSION", "1");
    ctx.prefs.simulatorVersion = v == "2" ? 2 : 1;
    if (v != "1" && v != "2")
        Warn(ctx, file, line("CFS_VERSION"), "CFS_VERSION " + Quote(v) + " is neither 1 nor 2; using version 1");

    v = read("AUTORUN_CFS", "1");
    ctx.prefs.autorunSimulator = v == "0" ? 0 : 1;
    if (v != "0" && v != "1")
        Warn(ctx, file, line("AUTORUN_CFS"), "AUTORUN_CFS " + Quote(v) + " is not 0; autorun stays on");

    (void)read("NUM_ADAPTERS", "1");  // read for compatibility; the adapter table decides

    int result = 0;
    v = read("NUM_IGNORED_ADAPTERS", "-1");
    ScannedLong count = ScanLong(v, 0);
    if (!count.ok) {
        Warn(ctx, file, line("NUM_IGNORED_ADAPTERS"),
             "NUM_IGNORED_ADAPTERS " + Quote(v) + " is not a number; no adapters are ignored");
    } else if (count.value != -1) {
        ctx.prefs.ignoredAdapterCount = static_cast<uint32_t>(count.value);
        result = 1;
    }

    if (ctx.prefs.ignoredAdapterCount != 0) {
        const std::string list = read("IGNORED_ADAPTERS", "");
        const int listLine = line("IGNORED_ADAPTERS");
        uint32_t i = 0;
        for (; i < ctx.prefs.ignoredAdapterCount && i * kMacStride < list.size(); ++i) {
            std::string entry = list.substr(i * kMacStride).c_str();
            unsigned b[6] = {};
            if (std::sscanf(entry.c_str(), "%2x-%2x-%2x-%2x-%2x-%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
                Warn(ctx, file, listLine,
                     "IGNORED_ADAPTERS entry " + std::to_string(i + 1) + " " + Quote(entry.substr(0, 17)) +
                         " is not a MAC address (xx-xx-xx-xx-xx-xx); skipped");
                continue;
            }
            bool matched = false;
            for (AdapterEntry& a : ctx.adapters) {
                bool same = true;
                for (int k = 0; k < 6; ++k) same = same && a.macAddress[k] == b[k];
                if (same) {
                    a.ignored = 1;
                    matched = true;
                }
            }
            if (!matched && !ctx.adapters.empty())
                Warn(ctx, file, listLine, "IGNORED_ADAPTERS " + MacText(b) + " matches no adapter of this machine");
        }
        if (i < ctx.prefs.ignoredAdapterCount)
            Warn(ctx, file, line("NUM_IGNORED_ADAPTERS"),
                 "NUM_IGNORED_ADAPTERS is " + std::to_string(ctx.prefs.ignoredAdapterCount) + " but IGNORED_ADAPTERS holds " +
                     std::to_string(i) + " entries");
    }

    ctx.prefs.sessionConfigName = read("SESSION_CFG_NAME", "Default");
    return result;
}

}  // namespace qd

#include "config/paths.h"

#include <cstdio>

#include "platform/log.h"
#include "platform/profile.h"

namespace qd {

void Warn(ConfigContext& ctx, const std::filesystem::path& file, int line, std::string message) {
    if (ctx.diag) ctx.diag->warn(DisplayName(ctx, file), line, std::move(message));
}

std::string DisplayName(const ConfigContext& ctx, const std::filesystem::path& file) {
    if (!ctx.workDir.empty()) {
        std::filesystem::path rel = file.lexically_relative(ctx.workDir);
        if (!rel.empty() && *rel.begin() != "..") return rel.generic_string();
    }
    return file.generic_string();
}

std::optional<std::filesystem::path> JoinWorkPath(ConfigContext& ctx, const std::string& relative) {
    std::string joined = ctx.workDir.string();
    if (joined.empty() || joined.back() != '/') joined += '/';
    joined += relative;
    if (joined.size() > kMaxPathChars) {
        std::string text = "Path too long (" + std::to_string(joined.size()) + " characters, at most " +
                           std::to_string(kMaxPathChars) + "), not read: " + joined;
        LogError(text);
        if (ctx.diag) ctx.diag->warn(relative, 0, text);
        return std::nullopt;
    }
    return std::filesystem::path(joined);
}

void CheckTextEncoding(ConfigContext& ctx, const std::filesystem::path& file) {
    switch (profile::FileEncoding(file)) {
    case profile::TextEncoding::Utf8Bom: Warn(ctx, file, 0, "starts with a UTF-8 byte-order mark; skipped"); return;
    case profile::TextEncoding::Utf16: {
        const std::string text = DisplayName(ctx, file) +
                                 " is UTF-16 text and is not read: every value in it takes its default. "
                                 "Save it as ANSI or UTF-8.";
        LogError(text);
        if (ctx.diag)
            ctx.diag->warn(DisplayName(ctx, file), 0, "UTF-16 text is not read: every value in it takes its default");
        else
            std::fprintf(stderr, "quarneld: %s\n", text.c_str());
        return;
    }
    default: return;
    }
}

namespace {
void BuildPaths(ConfigContext& ctx) {
    if (ctx.pathsBuilt) return;
    ctx.pathsBuilt = true;
    const std::string stem = "quarneld/configs/" + ctx.prefs.sessionConfigName;
    // Both names have the same length, so one check refuses or accepts both.
    if (auto cfg = JoinWorkPath(ctx, stem + ".cfg")) {
        ctx.cfgPath = *cfg;
        CheckTextEncoding(ctx, ctx.cfgPath);
        std::string txt = cfg->string();
        txt.replace(txt.size() - 4, 4, ".txt");
        ctx.txtPath = txt;
    }
}
}  // namespace

const std::filesystem::path& ConfigFilePath(ConfigContext& ctx) {
    BuildPaths(ctx);
    return ctx.cfgPath;
}

const std::filesystem::path& WelcomeTextPath(ConfigContext& ctx) {
    BuildPaths(ctx);
    return ctx.txtPath;
}

}  // namespace qd

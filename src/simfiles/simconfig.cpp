#include "simfiles/simconfig.h"

#include <cstdio>

#include "platform/log.h"
#include "simfiles/simpath.h"

namespace qd {

namespace {

constexpr std::size_t kConfigLineLimit = 255;

bool Put(std::FILE* out, std::string_view text) {
    return text.empty() || std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

}  // namespace

const char* SimulatorConfigName(int simulatorVersion) { return simulatorVersion == 2 ? "cfs2.cfg" : "combatfs.cfg"; }

const char* SimulatorConfigCopyName(int simulatorVersion) {
    return simulatorVersion == 2 ? "origcfs2.cfg" : "origcombatfs.cfg";
}

int WriteSimulatorConfig(const std::filesystem::path& workDir, int simulatorVersion, std::string_view hostAddressText) {
    auto source = ResolveSimulatorPath(workDir, SimulatorConfigName(simulatorVersion));
    if (!source) return -1;
    FilePtr in = OpenRegularFile(*source);
    if (!in) return -1;
    const std::filesystem::path copyPath = workDir / SimulatorConfigCopyName(simulatorVersion);
    FilePtr out(std::fopen(copyPath.c_str(), "wb"));
    if (!out) return -1;

    LineReader reader(in.get(), kConfigLineLimit);
    std::string line;
    bool ok = true;
    bool inserted = false;
    while (ok && reader.Next(line)) {
        if (inserted && (StartsWithIgnoreCase(line, "SP_PROTOCOL_ADDRESS=") || StartsWithIgnoreCase(line, "SKIP_DUN_WARNING=")))
            continue;
        ok = Put(out.get(), line);
        if (!inserted && StartsWithIgnoreCase(line, "[MULTIPLAYER]")) {
            // The added lines end like the section line, so a CR LF file stays CR LF.
            const char* eol = line.ends_with("\r\n") ? "\r\n" : "\n";
            ok = ok && Put(out.get(), "SP_PROTOCOL_ADDRESS=") && Put(out.get(), hostAddressText) &&
                 Put(out.get(), eol) && Put(out.get(), "SKIP_DUN_WARNING=1") && Put(out.get(), eol);
            inserted = true;
        }
    }
    if (std::ferror(in.get())) ok = false;
    if (std::fflush(out.get()) != 0 || std::ferror(out.get())) ok = false;
    if (!ok) {
        LogError("Could not write " + copyPath.filename().string());
        return -1;
    }
    return 0;
}

}  // namespace qd

// Team scanner on arbitrary configuration files: every team of the file is loaded, with
// findings collected, as `quarneld check` does.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/context.h"
#include "config/teams.h"
#include "platform/log.h"

namespace {
const std::filesystem::path& WorkDir() {
    static const std::filesystem::path dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarneld-fuzz-teams-XXXXXX").string();
        std::filesystem::path p = ::mkdtemp(tmpl.data());
        std::filesystem::create_directories(p / "quarneld/configs");
        qd::SetErrorLogPath(p / "qdlerror.txt");
        return p;
    }();
    return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path& dir = WorkDir();
    {
        std::ofstream out(dir / "quarneld/configs/Default.cfg", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    qd::Diagnostics diag;
    qd::ConfigContext ctx;
    ctx.workDir = dir;
    ctx.diag = &diag;
    int targets = 0;
    const auto teams = qd::LoadTeams(ctx);
    if (teams.size() > std::size_t(qd::kMaxTeams)) std::abort();
    for (const auto& team : teams) {
        if (!team->name) std::abort();  // every team has a name
        if (team->kind == qd::kTeamTarget) ++targets;
        if (team->color > 15 || team->formationHeading >= 360 || team->maxPlayers == 0) std::abort();
    }
    if (targets == 0) std::abort();  // the list always holds a Target team
    return 0;
}

#include "simfiles/autorun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log.h"
#include "simfiles/simconfig.h"
#include "simfiles/simpath.h"

namespace qd {

namespace {

std::optional<std::string> FindOnPath(std::string_view program) {
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;
    std::string_view rest = path;
    while (true) {
        const auto colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + std::string(program);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(colon + 1);
    }
}

struct ExecFailure {
    int stage = 0;  // 1: the program itself, 2: through wine
    int error = 0;
};

// Runs in the grandchild: only async-signal-safe calls from here on.
[[noreturn]] void ExecSimulator(const char* dir, const char* program, const char* name, const char* wine, int report) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    ExecFailure failure;
    if (::chdir(dir) != 0) {
        failure = {1, errno};
    } else {
        char* const direct[] = {const_cast<char*>(program), nullptr};
        ::execv(program, direct);
        failure = {1, errno};
        if (wine && (errno == ENOEXEC || errno == EACCES)) {
            char* const viaWine[] = {const_cast<char*>("wine"), const_cast<char*>(name), nullptr};
            ::execv(wine, viaWine);
            failure = {2, errno};
        }
    }
    [[maybe_unused]] auto n = ::write(report, &failure, sizeof failure);
    ::_exit(127);
}

}  // namespace

const char* LocalSimulatorName(int simulatorVersion) {
    return simulatorVersion == 2 ? "origcfs2.exe" : "origcombatfs.exe";
}

bool StartLocalSimulator(const std::filesystem::path& workDir, int simulatorVersion) {
    const char* name = LocalSimulatorName(simulatorVersion);
    const std::filesystem::path program = ResolveSimulatorPath(workDir, name).value_or(workDir / name);
    const std::string dir = workDir.string();
    const std::string programText = program.string();
    const std::string nameText = program.filename().string();
    const std::optional<std::string> wine = FindOnPath("wine");

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        LogError(std::string("Could not start ") + name + ": " + std::strerror(errno));
        return false;
    }
    // Double fork: the middle process exits at once and is reaped here, the simulator is
    // adopted by init, so neither a zombie nor a SIGCHLD handler of ours is involved.
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::close(pipeFds[0]);
        const pid_t sim = ::fork();
        if (sim == 0)
            ExecSimulator(dir.c_str(), programText.c_str(), nameText.c_str(), wine ? wine->c_str() : nullptr,
                          pipeFds[1]);
        if (sim < 0) {
            ExecFailure failure{1, errno};
            [[maybe_unused]] auto n = ::write(pipeFds[1], &failure, sizeof failure);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    if (middle < 0) {
        const int err = errno;
        ::close(pipeFds[0]);
        LogError(std::string("Could not start ") + name + ": " + std::strerror(err));
        return false;
    }
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The report end closes when the simulator execs (close-on-exec) or gives up.
    ExecFailure failure;
    ssize_t got;
    do {
        got = ::read(pipeFds[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(pipeFds[0]);
    if (got <= 0) return true;

    std::string line = std::string("Could not start ") + name;
    if (failure.stage == 1 && (failure.error == ENOEXEC || failure.error == EACCES) && !wine)
        line += ": the system cannot run it and wine is not on the path";
    else
        line += std::string(failure.stage == 2 ? " through wine: " : ": ") + std::strerror(failure.error);
    LogError(line);
    return false;
}

void RemoveSimulatorConfigCopy(const std::filesystem::path& workDir, int simulatorVersion) {
    std::error_code ec;
    std::filesystem::remove(workDir / SimulatorConfigCopyName(simulatorVersion), ec);
}

}  // namespace qd

#pragma once
// The real quarneld on a copy of sample/ for tests over real sockets: 127.0.0.1, free ports, its own
// instance name and console token, its output collected; SIGKILLed if a test leaves it running.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/temp_dir.h"
#include "session/dptypes.h"

namespace qd::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline sockaddr_in loopback(uint16_t port) {
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

// A port free for TCP and UDP on 127.0.0.1 at this moment.
inline uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int t = ::socket(AF_INET, SOCK_STREAM, 0), u = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
        const bool both = ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(u);
        ::close(t);
        if (both) return ntohs(a.sin_port);
    }
    return 0;
}

class HostProcess {
public:
    using Environment = std::vector<std::pair<std::string, std::string>>;
    // Starts the program (again, once an earlier start has exited), its output into an
    // unlinked file of its own. `environment` is added to the test's own; a value of "@output"
    // stands for the device and inode of that output (what systemd puts into JOURNAL_STREAM).
    bool start(const std::vector<std::string>& args, const Environment& environment = {}) {
        if (out_ >= 0) ::close(out_);
        status_.reset();
        std::string path = (fs::temp_directory_path() / "quarneld-output-XXXXXX").string();
        out_ = ::mkostemp(path.data(), O_CLOEXEC);
        if (out_ < 0) return false;
        ::unlink(path.c_str());
        struct stat st {};
        ::fstat(out_, &st);
        const std::string output = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out_, 1);
            ::dup2(out_, 2);
            for (const auto& [name, value] : environment)
                ::setenv(name.c_str(), value == "@output" ? output.c_str() : value.c_str(), 1);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid_ > 0;
    }
    // Waits, time-limited, for a line of output containing `text`.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit) {
        return until([&] { return output().find(text) != std::string::npos || exited(); }, limit) &&
               output().find(text) != std::string::npos;
    }
    std::string output() const {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::pread(out_, buf, sizeof buf, off_t(out.size()))) > 0;) out.append(buf, std::size_t(n));
        return out;
    }
    pid_t pid() const { return pid_; }
    bool exited() {
        int status = 0;
        if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return status_.has_value();
    }
    // The exit code once the process ends by itself within the limit; -1 when it had to
    // be killed (or died of a signal).
    int wait(std::chrono::milliseconds limit) {
        if (!until([this] { return exited(); }, limit)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
        }
        return *status_ != -1 && WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }
    // SIGTERM, then the exit code within the limit.
    int terminate(std::chrono::milliseconds limit) {
        if (!exited()) ::kill(pid_, SIGTERM);
        return wait(limit);
    }
    ~HostProcess() {
        if (pid_ > 0) wait(0ms);
        if (out_ >= 0) ::close(out_);
    }

private:
    static bool until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
        return done();
    }
    pid_t pid_ = -1;
    int out_ = -1;
    std::optional<int> status_;
};

// `quarneld run` on a copy of sample/ (edited first when asked), up and enumerable.
struct SampleHost {
    testing::TempDir work;
    std::string tag = std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}() % 100000);
    std::string token = "testtoken" + std::to_string(std::random_device{}()) + "abcdefgh";
    uint16_t enumPort = 0, dplayPort = 0, consolePort = 0;
    HostProcess process;

    // False (with a test failure naming why) when the host did not come up. QUARNELD_HOST
    // names another build of the program (the sanitized one of ./quarneld.sh test).
    bool start(const std::function<void(const testing::TempDir&)>& edit = {},
               const HostProcess::Environment& env = {}) {
        const char* other = std::getenv("QUARNELD_HOST");
        const std::string binary = other && *other ? other : QUARNELD_BINARY_DIR "/quarneld";
        if (!fs::exists(binary)) {
            ADD_FAILURE() << binary << " is not built";
            return false;
        }
        fs::copy(QUARNELD_SOURCE_DIR "/sample", work.path(), fs::copy_options::recursive);
        if (edit) edit(work);
        work.write("console.token", token + "\n");
        // Three distinct ports free a moment ago (the kernel may hand one out twice); a host that stops
        // on one taken since is started again on others.
        for (int attempt = 0; attempt < 3; ++attempt) {
            enumPort = freePort(), dplayPort = freePort(), consolePort = freePort();
            if (std::set<uint16_t>{0, enumPort, dplayPort, consolePort}.size() < 4) continue;
            if (!process.start({binary, "run", "--workdir", work.path().string(), "--bind", "127.0.0.1",
                                "--enum-port", std::to_string(enumPort), "--dplay-port", std::to_string(dplayPort),
                                "--console", "127.0.0.1:" + std::to_string(consolePort), "--console-token-file",
                                (work.path() / "console.token").string(), "--instance-name",
                                "quarneld-test-" + tag},
                               env)) {
                ADD_FAILURE() << "cannot start " << binary;
                return false;
            }
            if (process.waitFor("quarneld: session open; DirectPlay enumeration on 127.0.0.1:" +
                                    std::to_string(enumPort),
                                20s))
                return true;
            if (!process.exited()) break;
        }
        ADD_FAILURE() << "the host did not open its session:\n" << process.output();
        return false;
    }
    // What tests/dplay/client.py (and the attack script) need to find and check the host.
    std::string clientArgs() const {
        return " --host 127.0.0.1 --enum-port " + std::to_string(enumPort) + " --app '" + kGuidCfs2.toString() +
               "' --workdir '" + work.path().string() + "' --console-port " + std::to_string(consolePort) +
               " --console-token " + token;
    }
    std::string errorLog() const { return work.read("quarneld/qdlerror.txt"); }
};

}  // namespace qd::test

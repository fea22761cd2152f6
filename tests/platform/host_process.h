#pragma once
// The real quarneld program as tests run it: a free port to give it, and the process with
// its output (standard output and error together) collected.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qd::testing {

// A port free for TCP and UDP on 127.0.0.1 at this moment.
inline uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int t = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
        const int u = ::socket(AF_INET, SOCK_DGRAM, 0);
        const bool both = ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(u);
        ::close(t);
        if (both) return ntohs(a.sin_port);
    }
    return 0;
}

// The host process with its output collected; SIGKILLed if a test leaves it running.
class HostProcess {
public:
    // `environment` is added to the test's own; a value of "@output" stands for the
    // device and inode of the output pipe (what systemd puts into JOURNAL_STREAM).
    bool start(const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& environment = {}) {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        struct stat pipeStat {};
        ::fstat(fds[1], &pipeStat);
        const std::string output = std::to_string(pipeStat.st_dev) + ":" + std::to_string(pipeStat.st_ino);
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            for (const auto& [name, value] : environment)
                ::setenv(name.c_str(), value == "@output" ? output.c_str() : value.c_str(), 1);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        fd_ = fds[0];
        reader_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n <= 0) return;
                std::lock_guard lock(mutex_);
                output_.append(buf, std::size_t(n));
            }
        });
        return true;
    }
    // Waits, time-limited, for a line of output containing `text`.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (output().find(text) != std::string::npos) return true;
            if (exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string output() {
        std::lock_guard lock(mutex_);
        return output_;
    }
    bool exited() {
        if (status_) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return status_.has_value();
    }
    // SIGTERM, then the exit code within the limit; -1 when it had to be killed.
    int terminate(std::chrono::milliseconds limit) {
        if (!exited()) ::kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!exited() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!exited()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
            return -1;
        }
        return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }
    ~HostProcess() {
        if (pid_ > 0 && !exited()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mutex_;
    std::string output_;
};

}  // namespace qd::testing

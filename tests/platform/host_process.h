#pragma once
// The quarneld binary as a child process with its output collected, and free loopback
// ports for it: for tests of what a user running the host sees.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
    bool start(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
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
    // The exit code once the process ends by itself within the limit; -1 when it had to
    // be killed (or died of a signal).
    int wait(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!exited() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!exited()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
        }
        if (reader_.joinable()) reader_.join();  // everything it wrote is in output()
        return *status_ != -1 && WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }
    // SIGTERM, then the exit code within the limit.
    int terminate(std::chrono::milliseconds limit) {
        if (!exited()) ::kill(pid_, SIGTERM);
        return wait(limit);
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

#include "platform/systemd.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <streambuf>

namespace qd {

namespace {

// Prefixes each line written through it, then hands the bytes on unbuffered.
class PrefixingBuffer : public std::streambuf {
public:
    PrefixingBuffer(std::streambuf* target, std::string prefix) : target_(target), prefix_(std::move(prefix)) {}

protected:
    int overflow(int c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? traits_type::not_eof(c) : c;
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::streamsize done = 0;
        while (done < n) {
            if (atLineStart_) {
                const auto size = static_cast<std::streamsize>(prefix_.size());
                if (target_->sputn(prefix_.data(), size) != size) return done;
                atLineStart_ = false;
            }
            std::streamsize line = 0;
            while (done + line < n && s[done + line] != '\n') ++line;
            if (done + line < n) {
                ++line;  // the line end itself
                atLineStart_ = true;
            }
            if (target_->sputn(s + done, line) != line) return done;
            done += line;
        }
        return done;
    }
    int sync() override { return target_->pubsync(); }

private:
    std::streambuf* target_;
    std::string prefix_;
    bool atLineStart_ = true;
};

std::string Prefix(LogLevel level) { return "<" + std::to_string(static_cast<int>(level)) + ">"; }

}  // namespace

bool IsJournalStream(int fd) {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (!value) return false;
    const std::string_view text(value);
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    unsigned long long device = 0, inode = 0;
    const auto [d, de] = std::from_chars(text.data(), text.data() + colon, device);
    const auto [i, ie] = std::from_chars(text.data() + colon + 1, text.data() + text.size(), inode);
    if (de != std::errc() || ie != std::errc() || d != text.data() + colon || i != text.data() + text.size())
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

std::string JournalLines(LogLevel level, std::string_view text, bool prefixed) {
    const std::string prefix = prefixed ? Prefix(level) : std::string();
    std::string out;
    out.reserve(text.size() + prefix.size() + 1);
    do {
        const auto end = text.find('\n');
        out += prefix;
        out += text.substr(0, end);
        out += '\n';
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    } while (!text.empty());
    return out;
}

void LogLine(LogLevel level, std::string_view text) {
    static const bool journal = IsJournalStream(STDERR_FILENO);
    const std::string lines = JournalLines(level, text, journal);
    std::size_t done = 0;
    while (done < lines.size()) {
        const ssize_t n = ::write(STDERR_FILENO, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void PrefixStandardStreamsForJournal() {
    // Never freed: the streams may be written to until the very end of the process.
    if (IsJournalStream(STDOUT_FILENO))
        std::cout.rdbuf(new PrefixingBuffer(std::cout.rdbuf(), Prefix(LogLevel::Info)));
    if (IsJournalStream(STDERR_FILENO))
        std::cerr.rdbuf(new PrefixingBuffer(std::cerr.rdbuf(), Prefix(LogLevel::Error)));
}

void NotifyServiceManager(const std::string& state) { sd_notify(0, state.c_str()); }

}  // namespace qd

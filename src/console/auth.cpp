#include "console/auth.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace qd::console {

namespace {

bool ValidToken(std::string_view t) {
    if (t.size() < 16 || t.size() > 128) return false;
    for (char c : t) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

std::string HostLiteral(const boost::asio::ip::address& a) {
    return a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
}

}  // namespace

std::string NewToken() {
    unsigned char bytes[16];
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got != sizeof bytes) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::optional<std::string> TokenFromFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (in) {
        std::string line;
        std::getline(in, line);
        const std::string_view token = Trim(line);
        if (!ValidToken(token)) {
            error = "console token file " + path +
                    ": line 1 must hold 16 to 128 letters, digits, '-' or '_'";
            return std::nullopt;
        }
        return std::string(token);
    }
    std::string token = NewToken();
    if (token.empty()) {
        error = "console token: /dev/urandom could not be read";
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "console token file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    const std::string line = token + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed) {
        error = "console token file " + path + ": could not be written";
        ::unlink(path.c_str());
        return std::nullopt;
    }
    return token;
}

bool TokensEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string_view TargetPath(std::string_view target) {
    const auto q = target.find('?');
    return q == std::string_view::npos ? target : target.substr(0, q);
}

std::optional<std::string_view> QueryParameter(std::string_view target, std::string_view name) {
    const auto q = target.find('?');
    if (q == std::string_view::npos) return std::nullopt;
    std::string_view query = target.substr(q + 1);
    if (const auto hash = query.find('#'); hash != std::string_view::npos) query = query.substr(0, hash);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) return eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::optional<std::string_view> BearerToken(std::string_view header) {
    header = Trim(header);
    constexpr std::string_view kScheme = "bearer ";
    if (header.size() <= kScheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < kScheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return std::nullopt;
    return Trim(header.substr(kScheme.size()));
}

std::optional<std::string_view> CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const auto semi = header.find(';');
        const std::string_view pair = Trim(header.substr(0, semi));
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && Trim(pair.substr(0, eq)) == name) return Trim(pair.substr(eq + 1));
        if (semi == std::string_view::npos) break;
        header.remove_prefix(semi + 1);
    }
    return std::nullopt;
}

HostCheck::HostCheck(std::string_view listenAddress, unsigned port) : port_(port) {
    const std::string suffix = ":" + std::to_string(port);
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(std::string(listenAddress), ec);
    if (ec) {
        hosts_.push_back(std::string(listenAddress) + suffix);
        return;
    }
    hosts_.push_back(HostLiteral(address) + suffix);
    if (address.is_loopback()) {
        hosts_.push_back("localhost" + suffix);
        hosts_.push_back("127.0.0.1" + suffix);
        hosts_.push_back("[::1]" + suffix);
    }
    if (address.is_unspecified()) {
        anyLiteral_ = true;
        hosts_.push_back("localhost" + suffix);
    }
}

bool HostCheck::HostAllowed(std::string_view host) const {
    for (const std::string& h : hosts_)
        if (h == host) return true;
    if (!anyLiteral_) return false;
    // Only address literals: a name could be rebound to this host by someone else's DNS.
    const std::string suffix = ":" + std::to_string(port_);
    if (!host.ends_with(suffix)) return false;
    std::string_view literal = host.substr(0, host.size() - suffix.size());
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']') literal = literal.substr(1, literal.size() - 2);
    boost::system::error_code ec;
    boost::asio::ip::make_address(std::string(literal), ec);
    return !ec;
}

bool HostCheck::OriginAllowed(std::optional<std::string_view> origin, std::string_view host) const {
    if (!origin) return true;
    return HostAllowed(host) && *origin == "http://" + std::string(host);
}

}  // namespace qd::console

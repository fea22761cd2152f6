#pragma once
// The console's login token and the checks every request passes: the token (in the
// query on the first visit, a cookie afterwards), the Host the browser addressed, and
// the Origin of scripted requests.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::console {

constexpr std::string_view kTokenCookie = "quarneld_console";

// 128 random bits from /dev/urandom as 32 hex digits; empty when none can be read.
std::string NewToken();

// The token kept in a file: read when the file exists (its first line, blanks trimmed;
// 16 to 128 characters of letters, digits, '-' and '_'), otherwise a new one written
// to it readable by the owner only. Errors name the file.
std::optional<std::string> TokenFromFile(const std::string& path, std::string& error);

bool TokensEqual(std::string_view a, std::string_view b);  // in constant time for equal lengths

// The value of one query parameter of a request target ("/x?a=1&token=..."), undecoded.
std::optional<std::string_view> QueryParameter(std::string_view target, std::string_view name);
std::string_view TargetPath(std::string_view target);
// The credentials of an "Authorization: Bearer <token>" header.
std::optional<std::string_view> BearerToken(std::string_view header);
// The value of one cookie in a Cookie header.
std::optional<std::string_view> CookieValue(std::string_view header, std::string_view name);

// Which Host header values address this console: the listening address and port; for a
// loopback address also "localhost"; for an unspecified address any address literal.
class HostCheck {
public:
    HostCheck(std::string_view listenAddress, unsigned port);
    bool HostAllowed(std::string_view host) const;
    // A request without Origin passes; with one, it must be http:// and the Host itself.
    bool OriginAllowed(std::optional<std::string_view> origin, std::string_view host) const;

private:
    std::vector<std::string> hosts_;
    bool anyLiteral_ = false;
    unsigned port_ = 0;
};

}  // namespace qd::console

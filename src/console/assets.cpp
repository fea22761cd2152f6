#include "console/assets.h"

namespace qd::console {

std::optional<EmbeddedFile> FindEmbeddedFile(std::string_view path) {
    for (const EmbeddedFile& f : EmbeddedFiles())
        if (f.path == path) return f;
    return std::nullopt;
}

std::string_view ContentType(std::string_view path) {
    auto ends = [&](std::string_view ext) { return path.ends_with(ext); };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".png")) return "image/png";
    if (ends(".ico")) return "image/x-icon";
    return "application/octet-stream";
}

}  // namespace qd::console

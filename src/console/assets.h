#pragma once
// The console page's files, built into the program from src/console/web.
#include <optional>
#include <span>
#include <string_view>

namespace qd::console {

struct EmbeddedFile {
    std::string_view path;  // "/index.html"
    std::string_view bytes;
};

// Defined in the source the build generates from the web folder.
std::span<const EmbeddedFile> EmbeddedFiles();

std::optional<EmbeddedFile> FindEmbeddedFile(std::string_view path);
std::string_view ContentType(std::string_view path);

}  // namespace qd::console

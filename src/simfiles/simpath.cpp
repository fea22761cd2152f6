#include "simfiles/simpath.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "platform/log.h"

namespace qd {

namespace fs = std::filesystem;

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::status(p, ec));
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

void UpperCaseAscii(std::string& text) {
    for (char& c : text) c = UpperAscii(c);
}

std::optional<fs::path> ResolveSimulatorPath(const fs::path& workDir, std::string_view relative) {
    fs::path current = workDir;
    std::size_t pos = 0;
    while (pos <= relative.size()) {
        std::size_t end = relative.find_first_of("/\\", pos);
        if (end == std::string_view::npos) end = relative.size();
        std::string_view part = relative.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) continue;
        fs::path exact = current / fs::path(std::string(part));
        if (Exists(exact)) {
            current = std::move(exact);
            continue;
        }
        std::optional<std::string> best;
        std::error_code ec;
        for (fs::directory_iterator it(current, ec), last; !ec && it != last; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (EqualsIgnoreCase(name, part) && (!best || name < *best)) best = std::move(name);
        }
        if (!best) return std::nullopt;
        current /= *best;
    }
    return Exists(current) ? std::optional<fs::path>(current) : std::nullopt;
}

bool RefuseLongPath(std::string_view relative, Diagnostics* diag) {
    if (relative.size() <= kMaxSimPathChars) return false;
    std::string line = "Path error, longer than 255 characters: ";
    line += relative;
    LogError(line);
    WarnOnce(diag, relative, 0,
             "path of " + std::to_string(relative.size()) + " characters is longer than 255; refused");
    return true;
}

void WarnOnce(Diagnostics* diag, std::string_view file, int line, std::string message) {
    if (!diag) return;
    for (const Warning& w : diag->items())
        if (w.file == file && w.line == line && w.message == message) return;
    diag->warn(std::string(file), line, std::move(message));
}

FilePtr OpenRegularFile(const fs::path& path) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return nullptr;
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return file;
}

bool LineReader::Next(std::string& piece) {
    piece.clear();
    while (piece.size() < limit_) {
        int c = std::getc(file_);
        if (c == EOF) return false;
        piece.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return true;
}

std::optional<BinaryReader> BinaryReader::Open(const fs::path& path) {
    FilePtr file = OpenRegularFile(path);
    if (!file) return std::nullopt;
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) return std::nullopt;
    return BinaryReader(std::move(file), static_cast<uint64_t>(st.st_size));
}

bool BinaryReader::Read(void* out, std::size_t n) {
    if (n > Remaining()) return false;
    if (n != 0 && std::fread(out, 1, n, file_.get()) != n) {
        // The file shrank under us: nothing more can be trusted.
        size_ = offset_;
        return false;
    }
    offset_ += n;
    return true;
}

bool BinaryReader::Skip(uint64_t n) {
    if (n > Remaining()) return false;
    if (n != 0 && std::fseek(file_.get(), static_cast<long>(offset_ + n), SEEK_SET) != 0) return false;
    offset_ += n;
    return true;
}

bool BinaryReader::ReadU16(uint16_t& v) {
    uint8_t b[2];
    if (!Read(b, 2)) return false;
    v = LoadU16(b);
    return true;
}

bool BinaryReader::ReadU32(uint32_t& v) {
    uint8_t b[4];
    if (!Read(b, 4)) return false;
    v = LoadU32(b);
    return true;
}

}  // namespace qd

#pragma once
// Small readers shared by the simulator-file routines: name resolution below the
// working directory, line reading with the C runtime's fgets rules, and a binary reader
// that never reads past the end of its file.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/diagnostics.h"

namespace qd {

// The original kept these names in 256-byte buffers; longer ones are refused, not cut.
constexpr std::size_t kMaxSimPathChars = 255;

// Finds a working-directory-relative name ('/' or '\\' between components). The
// simulator's files come from a case-insensitive file system and some names are
// upper-cased on the way (SIM values), so a component that does not exist as written is
// matched without regard to ASCII letter case (the first match in name order wins).
std::optional<std::filesystem::path> ResolveSimulatorPath(const std::filesystem::path& workDir,
                                                          std::string_view relative);

// True (and the path logged, and warned about when diag is given) when relative is
// longer than kMaxSimPathChars.
bool RefuseLongPath(std::string_view relative, Diagnostics* diag);

// Adds a warning unless the same one is already there: the same file is often looked at
// once per target.
void WarnOnce(Diagnostics* diag, std::string_view file, int line, std::string message);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
void UpperCaseAscii(std::string& text);

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for reading (devices, FIFOs and folders are refused, so a read
// can neither block nor run forever).
FilePtr OpenRegularFile(const std::filesystem::path& path);

// fgets(buffer, limit + 1, file) followed by the feof test the original made after
// every read.
class LineReader {
public:
    LineReader(std::FILE* file, std::size_t limit) : file_(file), limit_(limit) {}
    // Reads the next piece: through the next '\n', or limit characters, whichever comes
    // first. Returns false when the read reached the end of the file; the text read then
    // is not to be used.
    bool Next(std::string& piece);

private:
    std::FILE* file_;
    std::size_t limit_;
};

// Little-endian reads from a regular file, each all or nothing, never past its end.
class BinaryReader {
public:
    static std::optional<BinaryReader> Open(const std::filesystem::path& path);

    uint64_t Offset() const { return offset_; }
    uint64_t Remaining() const { return size_ - offset_; }

    bool Read(void* out, std::size_t n);
    bool Skip(uint64_t n);
    bool ReadU16(uint16_t& v);
    bool ReadU32(uint32_t& v);

private:
    BinaryReader(FilePtr file, uint64_t size) : file_(std::move(file)), size_(size) {}
    FilePtr file_;
    uint64_t size_ = 0;
    uint64_t offset_ = 0;
};

// Little-endian fields of a byte block whose bounds the caller has checked.
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace qd

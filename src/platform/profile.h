#pragma once
// Ini files read with the lookup rules of the Windows profile functions: sections and
// keys matched without regard to case, the first matching section and key win, blanks
// around keys and values trimmed, one pair of matching surrounding quotes removed, the
// default when the key or the file is missing, answers truncated to the buffer.
// Texts are 8-bit bytes, passed through unchanged.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::profile {

// GetPrivateProfileStringA with a named section and key. Copies at most size - 1
// characters and a NUL into buffer; returns the number of characters copied (without
// the NUL). A null default stands for "".
std::size_t GetPrivateProfileString(std::string_view section, std::string_view key, const char* defaultValue,
                                    char* buffer, std::size_t size, const std::filesystem::path& file);

// The same answer as a string (what the buffer of the given size would hold).
std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                    std::size_t size, const std::filesystem::path& file);

// GetPrivateProfileSectionNamesA: the section names in file order, each NUL-terminated,
// the list ended by an extra NUL, truncated to the buffer as Windows does. Returns the
// number of characters copied, not counting the final NUL.
std::size_t GetPrivateProfileSectionNames(char* buffer, std::size_t size, const std::filesystem::path& file);

// Where a value came from, for operator diagnostics.
struct KeyLine {
    std::string key;    // as written (trimmed)
    std::string value;  // as the lookup returns it (trimmed, quotes removed)
    int line = 0;       // 1-based
};

struct Section {
    std::string name;  // as written
    int line = 0;      // line of the header
    std::vector<KeyLine> keys;  // in file order, duplicates kept
};

// What a text file's first bytes say it holds. The lookups read 8-bit text: they skip a
// UTF-8 byte-order mark, and read nothing from a UTF-16 file (as if it were missing).
enum class TextEncoding { Missing, Bytes, Utf8Bom, Utf16 };
TextEncoding FileEncoding(const std::filesystem::path& file);
// The file's text as the lookups read it: a leading UTF-8 byte-order mark removed;
// nullopt when the file cannot be read or holds UTF-16.
std::optional<std::string> ReadText(const std::filesystem::path& file);

// Every section of a file with its keys, in file order; empty when the file cannot be read.
std::vector<Section> ReadSections(const std::filesystem::path& file);

// The line the lookup of (section, key) takes its value from; 0 when the default applies.
int FindKeyLine(std::string_view section, std::string_view key, const std::filesystem::path& file);

}  // namespace qd::profile

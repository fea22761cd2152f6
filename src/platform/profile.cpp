#include "platform/profile.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace qd::profile {

namespace {

struct Entry {
    std::string key;                   // trimmed
    std::optional<std::string> value;  // nullopt: the line had no '='
    int line = 0;
};

struct ParsedSection {
    std::string name;  // trimmed; "" for lines before the first header
    int line = 0;
    std::vector<Entry> entries;
};

struct ParsedFile {
    std::vector<ParsedSection> sections;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

// One pair of matching surrounding quotes is removed, as the platform does on lookup.
std::string unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

ParsedFile parse(const std::string& text) {
    ParsedFile file;
    file.sections.push_back(ParsedSection{"", 0, {}});
    std::size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        std::string_view line(text.data() + pos, end - pos);
        ++lineNo;
        // CR LF, CR alone and LF alone all end a line.
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            pos = end + 2;
        else
            pos = end + 1;

        std::size_t b = 0;
        while (b < line.size() && isBlank(line[b])) ++b;
        line.remove_prefix(b);
        if (line.empty()) continue;
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close == std::string_view::npos) continue;  // not a header: the line is dropped
            file.sections.push_back(ParsedSection{trim(line.substr(1, close - 1)), lineNo, {}});
            continue;
        }
        if (line.front() == ';') continue;  // comment
        const std::size_t eq = line.find('=');
        Entry e;
        e.line = lineNo;
        if (eq == std::string_view::npos) {
            e.key = trim(line);
        } else {
            e.key = trim(line.substr(0, eq));
            e.value = trim(line.substr(eq + 1));
        }
        file.sections.back().entries.push_back(std::move(e));
    }
    return file;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

TextEncoding encodingOf(std::string_view head) {
    if (head.starts_with(kUtf8Bom)) return TextEncoding::Utf8Bom;
    if (head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF")) return TextEncoding::Utf16;
    return TextEncoding::Bytes;
}

std::optional<std::string> readAll(const std::filesystem::path& file) {
    struct stat st {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Read on every call: configuration is read once per run, the files are small, and a
// cache keyed by modification time can miss a rewrite within the clock's granularity.
std::shared_ptr<const ParsedFile> load(const std::filesystem::path& file) {
    auto text = ReadText(file);
    if (!text) return nullptr;
    return std::make_shared<const ParsedFile>(parse(*text));
}

const Entry* find(const ParsedFile& f, std::string_view section, std::string_view key) {
    for (const auto& s : f.sections) {
        if (s.line == 0 || !equalsNoCase(s.name, section)) continue;
        // Only the first section of that name is searched.
        for (const auto& e : s.entries)
            if (e.value && equalsNoCase(e.key, key)) return &e;
        return nullptr;
    }
    return nullptr;
}

std::size_t copyOut(std::string_view text, char* buffer, std::size_t size) {
    if (size == 0 || buffer == nullptr) return 0;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n;
}

std::string answer(std::string_view section, std::string_view key, std::string_view defaultValue,
                   const std::filesystem::path& file) {
    if (auto parsed = load(file))
        if (const Entry* e = find(*parsed, section, key)) return unquote(*e->value);
    // The platform drops trailing blanks of the default.
    std::size_t n = defaultValue.size();
    while (n > 0 && defaultValue[n - 1] == ' ') --n;
    return std::string(defaultValue.substr(0, n));
}

}  // namespace

std::size_t GetPrivateProfileString(std::string_view section, std::string_view key, const char* defaultValue,
                                    char* buffer, std::size_t size, const std::filesystem::path& file) {
    if (size == 0 || buffer == nullptr) return 0;
    return copyOut(answer(section, key, defaultValue ? defaultValue : "", file), buffer, size);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                    std::size_t size, const std::filesystem::path& file) {
    if (size == 0) return {};
    std::string value = answer(section, key, defaultValue, file);
    if (value.size() > size - 1) value.resize(size - 1);
    // What a C caller sees stops at the first NUL.
    if (auto nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
    return value;
}

std::size_t GetPrivateProfileSectionNames(char* buffer, std::size_t size, const std::filesystem::path& file) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    auto parsed = load(file);
    if (!parsed) return 0;
    std::string list;
    bool truncated = false;
    for (const auto& s : parsed->sections) {
        if (s.line == 0 || s.name.empty()) continue;
        // A name is listed only when it, its NUL and the list's closing NUL fit.
        if (list.size() + s.name.size() + 2 > size) {
            truncated = true;
            break;
        }
        list.append(s.name);
        list.push_back('\0');
    }
    std::memcpy(buffer, list.data(), list.size());
    std::memset(buffer + list.size(), 0, size - list.size());
    // The platform answers size - 2 for a list that did not fit with room to spare,
    // even when the last name just fitted.
    if (truncated || list.size() + 2 > size) return size >= 2 ? size - 2 : 0;
    return list.size();
}

TextEncoding FileEncoding(const std::filesystem::path& file) {
    struct stat st {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return TextEncoding::Missing;
    std::ifstream in(file, std::ios::binary);
    char head[3] = {};
    if (!in) return TextEncoding::Missing;
    in.read(head, sizeof head);
    return encodingOf(std::string_view(head, static_cast<std::size_t>(in.gcount())));
}

std::optional<std::string> ReadText(const std::filesystem::path& file) {
    auto text = readAll(file);
    if (!text) return std::nullopt;
    switch (encodingOf(*text)) {
    case TextEncoding::Utf16: return std::nullopt;
    case TextEncoding::Utf8Bom: text->erase(0, kUtf8Bom.size()); break;
    default: break;
    }
    return text;
}

std::vector<Section> ReadSections(const std::filesystem::path& file) {
    std::vector<Section> out;
    auto parsed = load(file);
    if (!parsed) return out;
    for (const auto& s : parsed->sections) {
        if (s.line == 0 && s.entries.empty()) continue;
        Section sec{s.name, s.line, {}};
        for (const auto& e : s.entries)
            sec.keys.push_back(KeyLine{e.key, e.value ? unquote(*e.value) : std::string(), e.line});
        out.push_back(std::move(sec));
    }
    return out;
}

int FindKeyLine(std::string_view section, std::string_view key, const std::filesystem::path& file) {
    auto parsed = load(file);
    if (!parsed) return 0;
    const Entry* e = find(*parsed, section, key);
    return e ? e->line : 0;
}

}  // namespace qd::profile

#pragma once
// The autoboot list: names of players kept out of the session. Names added for this run
// only live in memory; remembered names are also appended to quarneld/autoboot.txt below
// the working directory, which is read once, on first use.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qd {

// A hostile or runaway file must not exhaust memory: entries beyond this many are not
// loaded (and the fact is logged).
constexpr std::size_t kMaxAutobootFileEntries = 100000;

class AutobootList {
public:
    explicit AutobootList(std::filesystem::path workDir, std::size_t maxFileEntries = kMaxAutobootFileEntries);

    // Reads the file into the list, replacing what it held; a missing or unreadable file
    // gives an empty list. The other operations call it once, on first use.
    void LoadAutoboot();

    // Exact, case-sensitive comparison with every entry.
    bool IsAutobooted(std::string_view name);

    // Appends a copy of the name, for this run only. The same name may be listed twice.
    void AddAutobootName(std::string_view name);

    // As AddAutobootName, and appends "name\n" to the file. Returns false when the name
    // could not be written (it stays listed for this run).
    bool RememberAutobootName(std::string_view name);

    const std::vector<std::string>& Entries();
    const std::filesystem::path& FilePath() const { return file_; }

private:
    void EnsureLoaded();

    std::filesystem::path file_;
    std::size_t maxFileEntries_;
    bool loaded_ = false;
    std::vector<std::string> names_;
};

}  // namespace qd

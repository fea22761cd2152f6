#pragma once
// A scratch directory per test, removed afterwards.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

namespace qd::testing {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarneld-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& relative, std::string_view content) const {
        auto p = path_ / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    std::string read(const std::string& relative) const {
        std::ifstream in(path_ / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

// Every file and folder below dir with its size, modification time and content, for
// tests that a command leaves a directory exactly as it was.
inline std::map<std::string, std::string> DirectorySnapshot(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string& entry = out[e.path().lexically_relative(dir).string()];
        entry = std::to_string(e.last_write_time().time_since_epoch().count());
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        entry += " " + std::to_string(e.file_size()) + " " +
                 std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

}  // namespace qd::testing

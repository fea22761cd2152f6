// Ini files may be hostile: arbitrary bytes must neither crash the reader nor let it
// write past the caller's buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path file = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarneld-fuzz-XXXXXX").string();
        return std::filesystem::path(::mkdtemp(tmpl.data())) / "f.ini";
    }();
    { std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size); }

    char buf[64];
    for (std::size_t n : {std::size_t(1), std::size_t(2), std::size_t(7), sizeof buf - 8}) {
        std::memset(buf, 0x55, sizeof buf);
        const std::size_t got = qd::profile::GetPrivateProfileSectionNames(buf, n, file);
        if (got > n || buf[n] != 0x55) std::abort();
        std::memset(buf, 0x55, sizeof buf);
        const std::size_t len = qd::profile::GetPrivateProfileString("QDL_SETTINGS", "SESSION_NAME", "x", buf, n, file);
        if (len >= n || buf[n] != 0x55 || buf[len] != 0) std::abort();
    }
    for (const auto& s : qd::profile::ReadSections(file))
        for (const auto& k : s.keys) (void)qd::profile::FindKeyLine(s.name, k.key, file);
    return 0;
}

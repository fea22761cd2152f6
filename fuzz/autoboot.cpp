// The autoboot file may be anything: arbitrary bytes must load into bounded entries that
// each came from one line piece.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/autoboot.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path workDir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarneld-fuzz-XXXXXX").string();
        std::filesystem::path dir(::mkdtemp(tmpl.data()));
        std::filesystem::create_directories(dir / "quarneld");
        qd::SetErrorLogPath(dir / "quarneld/qdlerror.txt");
        return dir;
    }();
    {
        std::ofstream(workDir / "quarneld/autoboot.txt", std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    constexpr std::size_t kLimit = 64;
    qd::AutobootList list(workDir, kLimit);
    const auto& entries = list.Entries();
    if (entries.size() > kLimit || entries.size() > size) std::abort();
    for (const std::string& e : entries) {
        if (e.size() > 255) std::abort();
        // Only a piece that is nothing but its line end keeps one.
        if (e.find_first_of("\r\n", 1) != std::string::npos) std::abort();
        if (!list.IsAutobooted(e)) std::abort();
    }
    std::filesystem::remove(workDir / "quarneld/qdlerror.txt");
    return 0;
}

// Flight model files may be hostile: arbitrary bytes as an .air file must neither crash
// the record walk nor read past the file.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "simfiles/inventory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path workDir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarneld-fuzz-XXXXXX").string();
        return std::filesystem::path(::mkdtemp(tmpl.data()));
    }();
    {
        std::ofstream(workDir / "M.air", std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    qd::Diagnostics diag;
    const double pitch = qd::ReadAirPitch(workDir, "m.AIR", &diag);
    const double height = qd::ReadAirHeight(workDir, "M.air", &diag);
    // The words are 16 and 32 bits wide, so the results are bounded.
    if (!(std::fabs(pitch) <= 32768 / 182.0) || !(std::fabs(height) <= 2147483648.0 / 18000)) std::abort();
    return 0;
}

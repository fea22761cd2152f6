// The object database may be hostile: arbitrary bytes as quarneld/objdb.dat must neither
// crash the lookup nor let a record with type code 0 through.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/log.h"
#include "simfiles/objdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path workDir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quarneld-fuzz-XXXXXX").string();
        std::filesystem::path dir(::mkdtemp(tmpl.data()));
        std::filesystem::create_directories(dir / "quarneld");
        qd::SetErrorLogPath(dir / "quarneld/qdlerror.txt");
        return dir;
    }();
    {
        std::ofstream(workDir / qd::kObjectDatabaseFile, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    qd::Diagnostics diag;
    std::string firstName = "AirFld_Henderson";
    if (auto all = qd::ReadObjectDatabase(workDir, &diag)) {
        for (const auto& rec : *all) {
            if (rec.typeCode == 0 || rec.name.size() > 47) std::abort();
        }
        if (!all->empty()) firstName = all->front().name;
    }
    for (const std::string& name : {firstName, std::string("RUNWAY"), std::string(), std::string(60, 'A')}) {
        qd::TargetObject t;
        t.aircraft = name;
        if (qd::LookupObjectDatabase(workDir, t, &diag) == 0 && (t.typeCode == 0 || !t.typeGuid)) std::abort();
    }
    return 0;
}

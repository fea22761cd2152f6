#pragma once
// A working directory per test with a context that collects findings.
#include <gtest/gtest.h>

#include <string>

#include "config/context.h"
#include "platform/log.h"
#include "platform/temp_dir.h"

namespace qd::testing {

struct Workdir {
    TempDir dir;
    Diagnostics diag;
    ConfigContext ctx;

    Workdir() {
        ctx.workDir = dir.path();
        ctx.diag = &diag;
        SetErrorLogPath(dir.path() / "qdlerror.txt");
    }
    void cfg(std::string_view text, const std::string& name = "Default") {
        dir.write("quarneld/configs/" + name + ".cfg", text);
    }
    void prefs(std::string_view text) { dir.write("quarneld/quarneld.ini", text); }

    // The finding at line (0: any line) whose message contains part.
    bool warned(int line, std::string_view part) const {
        for (const Warning& w : diag.items())
            if ((line == 0 || w.line == line) && w.message.find(part) != std::string::npos) return true;
        return false;
    }
    std::string dump() const {
        std::string out;
        for (const Warning& w : diag.items()) out += w.file + ":" + std::to_string(w.line) + ": " + w.message + "\n";
        return out;
    }
};

}  // namespace qd::testing

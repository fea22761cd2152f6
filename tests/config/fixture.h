#pragma once
// A working directory per test with a context that collects findings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
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
    // Every (line, part) among the findings.
    ::testing::AssertionResult warnedAll(std::initializer_list<std::pair<int, std::string_view>> expected) const {
        for (auto [line, part] : expected)
            if (!warned(line, part)) return ::testing::AssertionFailure() << line << ": " << part << " not in\n" << dump();
        return ::testing::AssertionSuccess();
    }
    std::string dump() const {
        std::string out;
        for (const Warning& w : diag.items()) out += w.file + ":" + std::to_string(w.line) + ": " + w.message + "\n";
        return out;
    }
};

// Every field the expected object names has that value in the actual one (a record as the
// report shows it).
inline ::testing::AssertionResult Fields(const nlohmann::json& actual, const nlohmann::json& expected) {
    std::string diff;
    for (const auto& [key, value] : expected.items()) {
        const auto found = actual.find(key);
        if (found == actual.end() || *found != value)
            diff += key + " is " + (found == actual.end() ? "absent" : found->dump()) + ", not " + value.dump() + "; ";
    }
    return diff.empty() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << diff;
}

}  // namespace qd::testing

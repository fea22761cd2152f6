#pragma once
// A working directory per test with its own error log and a context that collects findings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "config/context.h"
#include "platform/log.h"
#include "platform/temp_dir.h"

namespace qd::testing {

struct Workdir : TempDir {
    Diagnostics diag;
    ConfigContext ctx;

    Workdir() {
        ctx.workDir = path();
        ctx.diag = &diag;
        std::filesystem::create_directories(path() / "quarneld");
        SetErrorLogPath(path() / "quarneld/qdlerror.txt");
    }
    void cfg(std::string_view text, const std::string& name = "Default") {
        write("quarneld/configs/" + name + ".cfg", text);
    }
    void prefs(std::string_view text) { write("quarneld/quarneld.ini", text); }
    using TempDir::write;
    void write(const std::string& rel, const std::vector<uint8_t>& b) const { write(rel, std::string(b.begin(), b.end())); }
    void Mkdir(const std::string& rel) const { std::filesystem::create_directories(path() / rel); }
    // The error log's lines after the run banner.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::istringstream in(read("quarneld/qdlerror.txt"));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line.rfind("*** New run", 0) != 0) lines.push_back(line);
        return lines;
    }
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

// Little-endian byte builder for binary fixtures.
struct Bytes {
    std::vector<uint8_t> b;
    Bytes& u16(uint16_t v) { return raw({uint8_t(v), uint8_t(v >> 8)}); }
    Bytes& u32(uint32_t v) { return raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
    Bytes& raw(std::initializer_list<uint8_t> v) { b.insert(b.end(), v); return *this; }
    Bytes& text(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); return *this; }
    Bytes& zeros(std::size_t n) { b.insert(b.end(), n, 0); return *this; }
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

#pragma once
// A scratch working directory per test, with its own error log.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/temp_dir.h"

namespace qd::test {

class WorkDir : public testing::TempDir {
public:
    WorkDir() {
        std::filesystem::create_directories(path() / "quarneld");
        SetErrorLogPath(path() / "quarneld/qdlerror.txt");
    }
    void Write(const std::string& rel, const std::string& bytes) const { write(rel, bytes); }
    void Write(const std::string& rel, const std::vector<uint8_t>& b) const { write(rel, std::string(b.begin(), b.end())); }
    void Mkdir(const std::string& rel) const { std::filesystem::create_directories(path() / rel); }
    std::string Read(const std::string& rel) const { return read(rel); }
    // The error log's lines after the run banner.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Read("quarneld/qdlerror.txt"));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line.rfind("*** New run", 0) != 0) lines.push_back(line);
        return lines;
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

}  // namespace qd::test

#pragma once
// A scratch working directory per test, with its own error log.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log.h"

namespace qd::test {

class WorkDir {
public:
    WorkDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qd-simfiles-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        root_ = tmpl;
        std::filesystem::create_directories(root_ / "quarneld");
        SetErrorLogPath(root_ / "quarneld/qdlerror.txt");
    }
    ~WorkDir() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const std::filesystem::path& path() const { return root_; }

    void Write(const std::string& rel, const std::string& bytes) const {
        auto p = root_ / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
    }
    void Write(const std::string& rel, const std::vector<uint8_t>& bytes) const {
        Write(rel, std::string(bytes.begin(), bytes.end()));
    }
    void Mkdir(const std::string& rel) const { std::filesystem::create_directories(root_ / rel); }
    std::string Read(const std::string& rel) const {
        std::ifstream in(root_ / rel, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // The error log's lines after the run banner.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Read("quarneld/qdlerror.txt"));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line.rfind("*** New run", 0) != 0) lines.push_back(line);
        return lines;
    }

private:
    std::filesystem::path root_;
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

#pragma once
// The app tests' names for the shared working-directory fixture.
#include "config/fixture.h"

namespace qd::test {

using testing::Bytes;

struct WorkDir : testing::Workdir {
    void Write(const std::string& rel, std::string_view bytes) const { write(rel, bytes); }
    void Write(const std::string& rel, const std::vector<uint8_t>& b) const { write(rel, b); }
    std::string Read(const std::string& rel) const { return read(rel); }
};

}  // namespace qd::test

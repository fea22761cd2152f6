#pragma once
// The version of the program and the commit it was built from (written at build time).
namespace qd {
extern const char* const kQuarneldVersion;
extern const char* const kQuarneldCommit;
}  // namespace qd

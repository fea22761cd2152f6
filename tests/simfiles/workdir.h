#pragma once
// The app tests' names for the shared working-directory fixture.
#include "config/fixture.h"

namespace qd::test {
using testing::Bytes;
using WorkDir = testing::Workdir;
}  // namespace qd::test

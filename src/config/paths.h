#pragma once
// Paths of the session configuration (<name>.cfg) and its welcome text (<name>.txt) in
// quarneld/configs/ below the working directory, and of the preferences file.
#include <filesystem>
#include <optional>
#include <string>

#include "config/context.h"

namespace qd {

// The .cfg path, built on the first call from the working directory and
// SESSION_CFG_NAME and kept for the run. Empty when the joined path is longer than
// kMaxPathChars (logged and reported once): the loaders then read nothing.
const std::filesystem::path& ConfigFilePath(ConfigContext& ctx);

// The .txt path; built together with the .cfg path (by this call if not yet).
const std::filesystem::path& WelcomeTextPath(ConfigContext& ctx);

// Says once what a configuration file's encoding means for it: a UTF-8 byte-order mark
// is skipped (a finding); a UTF-16 file is not read (the error log, standard error during
// `run`, and a finding).
void CheckTextEncoding(ConfigContext& ctx, const std::filesystem::path& file);

// workDir + "/" + relative, or nullopt (with a log line and a finding) when the result
// is longer than kMaxPathChars.
std::optional<std::filesystem::path> JoinWorkPath(ConfigContext& ctx, const std::string& relative);

}  // namespace qd

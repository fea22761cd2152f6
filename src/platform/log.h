#pragma once
// The error log ("quarneld/qdlerror.txt" below the working directory): opened in append
// mode for each line, with the run banner before the first line of a run.
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace qd {

// Where LogError writes. Set once by start-up; also resets the "no line written yet" flag
// so a new run (or a test) gets its own banner.
void SetErrorLogPath(const std::filesystem::path& path);
const std::filesystem::path& ErrorLogPath();

// Appends text and a line end; before the first line of a run writes
// "\n\n*** New run, v1.39 ***\n\n". A log that cannot be opened loses the line.
void LogError(std::string_view text);

// Formats format (a printf format with one 32-bit value, e.g. "... 0x%08X") into at most
// 200 characters and shows it in a message box with caption "Error" and an OK button.
void ReportError(const char* format, uint32_t code);

}  // namespace qd

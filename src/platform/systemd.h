#pragma once
// What a process started by systemd tells it: a level on each line of its output (the
// "<N>" prefixes of sd-daemon(3), read by the journal) and its state (sd_notify). Both
// do nothing out of systemd's hands: plain lines, no messages.
#include <string>
#include <string_view>

namespace qd {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// Whether descriptor fd is the journal stream systemd connected (JOURNAL_STREAM names
// its device and inode; a redirected descriptor no longer matches).
bool IsJournalStream(int fd);

// text as whole lines: each line with the level's prefix when `prefixed`, each ended by '\n'.
std::string JournalLines(LogLevel level, std::string_view text, bool prefixed);

// text on standard error in one write, with the level's prefix when that is the journal.
void LogLine(LogLevel level, std::string_view text);

// From now on std::cout's lines go out at info and std::cerr's at error level when
// they are the journal. Call once, early in main.
void PrefixStandardStreamsForJournal();

// "READY=1", "STOPPING=1", "STATUS=..." (lines joined by '\n') to the service manager.
void NotifyServiceManager(const std::string& state);

}  // namespace qd

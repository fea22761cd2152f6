#include "app/autoboot.h"

#include <cstdio>
#include <utility>

#include "platform/log.h"
#include "simfiles/simpath.h"

namespace qd {

namespace {

constexpr const char* kAutobootFile = "quarneld/autoboot.txt";
// The file was read in 256-byte buffers: longer lines come in several pieces.
constexpr std::size_t kPieceChars = 255;

// Names travel as C strings: nothing after a NUL counts.
std::string_view CText(std::string_view text) { return text.substr(0, text.find('\0')); }

// A name as one log line: its line ends shown, not acted on.
std::string Printable(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// One piece as a text-mode fgets gives it (CR LF read as LF): through the next LF or
// limit characters. False when the read ran into the end of the file; that text is
// not used.
bool NextTextPiece(std::FILE* f, std::string& piece, std::size_t limit) {
    piece.clear();
    while (piece.size() < limit) {
        int c = std::getc(f);
        if (c == EOF) return false;
        if (c == '\r') {
            int next = std::getc(f);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, f);
        }
        piece.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return true;
}

}  // namespace

AutobootList::AutobootList(std::filesystem::path workDir, std::size_t maxFileEntries)
    : file_(std::move(workDir) / kAutobootFile), maxFileEntries_(maxFileEntries) {}

void AutobootList::LoadAutoboot() {
    names_.clear();
    if (FilePtr f = OpenRegularFile(file_)) {
        std::string piece;
        while (NextTextPiece(f.get(), piece, kPieceChars)) {
            if (names_.size() >= maxFileEntries_) {
                LogError(std::string("Autoboot file ") + kAutobootFile + " holds more than " +
                         std::to_string(maxFileEntries_) + " names; the rest were not loaded.");
                break;
            }
            piece.resize(CText(piece).size());
            // A line that is only its line end is kept as it is: it matches no name.
            std::size_t end = piece.find_first_of("\r\n", 1);
            if (end != std::string::npos) piece.resize(end);
            names_.push_back(piece);
        }
    }
    loaded_ = true;
}

void AutobootList::EnsureLoaded() {
    if (!loaded_) LoadAutoboot();
}

bool AutobootList::IsAutobooted(std::string_view name) {
    EnsureLoaded();
    name = CText(name);
    for (const std::string& entry : names_)
        if (entry == name) return true;
    return false;
}

void AutobootList::AddAutobootName(std::string_view name) {
    EnsureLoaded();
    names_.emplace_back(CText(name));
}

bool AutobootList::RememberAutobootName(std::string_view name) {
    EnsureLoaded();
    name = CText(name);
    AddAutobootName(name);
    // A line end inside the name, or a name longer than one read piece, would come back
    // from the file as other names (a client could get someone else kept out for good).
    if (name.find_first_of("\r\n") != std::string_view::npos || name.size() > kPieceChars) {
        LogError(std::string("Autoboot name not written to ") + kAutobootFile +
                 " (it holds a line end or is longer than 255 characters); it is kept out for this run only: " +
                 Printable(name));
        return false;
    }
    std::FILE* f = std::fopen(file_.c_str(), "a");
    bool written = false;
    if (f) {
        std::string line(name);
        line += '\n';
        written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
        written = (std::fclose(f) == 0) && written;
    }
    if (!written)
        LogError(std::string("Could not append to ") + kAutobootFile + "; kept out for this run only: " +
                 Printable(name));
    return written;
}

const std::vector<std::string>& AutobootList::Entries() {
    EnsureLoaded();
    return names_;
}

}  // namespace qd

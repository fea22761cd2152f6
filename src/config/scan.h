#pragma once
// Number scanning as the configuration's scan formats read numbers: leading white space
// skipped, the longest number at the start taken, the rest of the text ignored.
#include <cstdint>
#include <string>
#include <string_view>

namespace qd {

struct ScannedLong {
    bool ok = false;        // a number was found at the start
    bool overflow = false;  // it did not fit 32 bits and was held at the nearest limit
    int32_t value = 0;
};

// "%li" (base 0: decimal, 0x hexadecimal, leading-0 octal) or "%ld" (base 10), for a
// 32-bit long.
ScannedLong ScanLong(std::string_view text, int base);

struct ScannedDouble {
    bool ok = false;      // a finite number was found at the start
    double value = 0;
};

// "%lf"; infinities and NaN count as no number, since no position or altitude can use them.
ScannedDouble ScanDouble(std::string_view text);

// Upper-cases ASCII letters only; 8-bit characters stay as they are.
std::string UpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Text for a finding: the value quoted, control characters shown as '?', long values cut.
std::string Quote(std::string_view value);

}  // namespace qd

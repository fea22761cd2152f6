#include "config/scan.h"

#include <cmath>
#include <cstdlib>

namespace qd {

namespace {
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}
}  // namespace

ScannedLong ScanLong(std::string_view text, int base) {
    ScannedLong out;
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || DigitValue(text[i]) >= (base == 0 ? 10 : base)) return out;
    if (base == 0) {
        base = 10;
        if (text[i] == '0') {
            base = 8;
            if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && DigitValue(text[i + 2]) < 16) {
                base = 16;
                i += 2;
            }
        }
    }
    uint64_t magnitude = 0;
    bool any = false;
    for (; i < text.size() && DigitValue(text[i]) < base; ++i) {
        any = true;
        magnitude = magnitude * base + DigitValue(text[i]);
        if (magnitude > 0x80000000ull) magnitude = 0x80000001ull;  // keep it from growing
    }
    if (!any) return out;
    out.ok = true;
    if (negative) {
        if (magnitude > 0x80000000ull) {
            out.overflow = true;
            magnitude = 0x80000000ull;
        }
        out.value = static_cast<int32_t>(-static_cast<int64_t>(magnitude));
    } else {
        if (magnitude > 0x7FFFFFFFull) {
            out.overflow = true;
            magnitude = 0x7FFFFFFFull;
        }
        out.value = static_cast<int32_t>(magnitude);
    }
    return out;
}

ScannedDouble ScanDouble(std::string_view text) {
    ScannedDouble out;
    std::string copy(text.substr(0, text.find('\0')));
    const char* begin = copy.c_str();
    char* end = nullptr;
    double v = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(v)) return out;
    out.ok = true;
    out.value = v;
    return out;
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && UpperAscii(a) == UpperAscii(b);
}

std::string Quote(std::string_view value) {
    std::string out = "'";
    std::size_t n = 0;
    for (char c : value) {
        if (++n > 60) {
            out += "...";
            break;
        }
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
    out += "'";
    return out;
}

}  // namespace qd

#include "config/coordinate.h"

#include <cmath>
#include <cstdio>

#include "config/scan.h"
#include "config/types.h"

namespace qd {

CoordinateScan ScanCoordinate(std::string& text) {
    text = UpperAscii(text);
    // The scan stops at the first NUL, as it did on the C string.
    std::string copy(text.c_str());
    char letter = 0;
    double degrees = 0, minutes = 0, seconds = 0;
    int fields = std::sscanf(copy.c_str(), "%c%lf* %lf' %lf\"", &letter, &degrees, &minutes, &seconds);
    CoordinateScan out;
    out.hasDegrees = fields >= 2;
    if (!std::isfinite(degrees) || !std::isfinite(minutes) || !std::isfinite(seconds)) {
        out.finite = false;
        out.letterKnown = letter == 'N' || letter == 'S' || letter == 'E' || letter == 'W';
        return out;
    }
    double value = degrees + minutes / 60 + seconds / 3600;
    switch (letter) {
    case 'N': out.value = value * kMetresPerDegreeLatitude; break;
    case 'S': out.value = -value * kMetresPerDegreeLatitude; break;
    case 'E': out.value = value * kLongitudeUnitsPerDegree; break;
    case 'W': out.value = -value * kLongitudeUnitsPerDegree; break;
    default: return out;
    }
    out.letterKnown = true;
    if (!std::isfinite(out.value)) {
        out.value = 0;
        out.finite = false;
    }
    return out;
}

double ParseCoordinate(std::string& text) { return ScanCoordinate(text).value; }

bool SplitValue(double value, int32_t& whole, uint16_t& fraction) {
    bool inRange = true;
    double w = std::trunc(value);
    if (w >= 2147483648.0 || w < -2147483648.0) {
        inRange = false;
        double wrapped = std::fmod(value, 4294967296.0);  // sign of value, |wrapped| < 2^32
        if (wrapped >= 2147483648.0) wrapped -= 4294967296.0;
        if (wrapped < -2147483648.0) wrapped += 4294967296.0;
        value = wrapped;
        w = std::trunc(value);
    }
    whole = static_cast<int32_t>(w);
    fraction = static_cast<uint16_t>(static_cast<int32_t>(std::trunc((value - w) * 65536.0)));
    return inRange;
}

bool ParseCoordinateSplit(std::string& text, int32_t& whole, uint16_t& fraction) {
    CoordinateScan scan = ScanCoordinate(text);
    if (!scan.finite) return false;
    // An unknown letter gives 0, as the unsplit form does.
    SplitValue(scan.value, whole, fraction);
    return scan.letterKnown && scan.hasDegrees;
}

namespace {
std::string Format(double units, double perDegree, char positive, char negative) {
    if (!std::isfinite(units)) return "";
    if (std::fabs(units) / perDegree > 1e9) return std::to_string(units);
    char letter = units < 0 ? negative : positive;
    // Rounded to hundredths of a second first, so 59.999" never shows as 60.00".
    long long hundredths = std::llround(std::fabs(units) / perDegree * 360000.0);
    long long degrees = hundredths / 360000;
    long long minutes = hundredths / 6000 % 60;
    long long secHundredths = hundredths % 6000;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%c%lld* %lld' %lld.%02lld\"", letter, degrees, minutes, secHundredths / 100,
                  secHundredths % 100);
    return buf;
}
}  // namespace

std::string FormatLatitude(double metres) { return Format(metres, kMetresPerDegreeLatitude, 'N', 'S'); }
std::string FormatLongitude(double units) { return Format(units, kLongitudeUnitsPerDegree, 'E', 'W'); }

}  // namespace qd


#include "app/capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "config/types.h"
#include "simfiles/inventory.h"
#include "simfiles/simpath.h"

namespace qd {

namespace {

// Arc-seconds per unit: metres of latitude and longitude units.
constexpr double kLatitudeUnitsPerArcSecond = 30.86959876;
constexpr double kLongitudeUnitsPerArcSecond = 3314.01797526;

std::string_view CText(std::string_view text) { return text.substr(0, text.find('\0')); }

void Append(std::string& out, const char* format, auto... args) {
    char line[320];
    int n = std::snprintf(line, sizeof line, format, args...);
    if (n > 0) out.append(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1));
}

// "N039* 59' 34.7900"" style: the whole part's sign gives the hemisphere, the fraction
// always adds to the magnitude.
void AppendCoordinate(std::string& out, const char* format, char positive, char negative, int32_t whole,
                      uint16_t fraction, double unitsPerArcSecond) {
    int64_t magnitude = whole;  // 64 bits: the most negative whole part has a magnitude too
    char hemisphere = positive;
    if (magnitude < 0) {
        hemisphere = negative;
        magnitude = -magnitude;
    }
    double v = (static_cast<double>(magnitude) + fraction / 65536.0) / unitsPerArcSecond;
    auto s = static_cast<int64_t>(v);
    auto tenThousandths = static_cast<unsigned>((v - static_cast<double>(s)) * 10000);
    Append(out, format, hemisphere, static_cast<int>(s / 3600), static_cast<int>((s % 3600) / 60),
           static_cast<unsigned>(s % 60), tenThousandths);
}

}  // namespace

std::optional<std::string> CaptureAircraftFromLongName(std::string_view longName) {
    longName = CText(longName);
    int index = 0;
    std::size_t pos = 0;
    while (pos < longName.size()) {
        std::size_t start = longName.find_first_not_of("[]", pos);
        if (start == std::string_view::npos) break;
        std::size_t end = longName.find_first_of("[]", start);
        if (end == std::string_view::npos) end = longName.size();
        if (++index == 2) return std::string(longName.substr(start, end - start));
        pos = end;
    }
    return std::nullopt;
}

std::optional<double> CaptureHeightCorrection(const std::filesystem::path& workDir, const std::string& aircraft) {
    TargetObject probe;
    probe.aircraft = aircraft;
    if (ValidateTargetAircraft(workDir, probe) != kTargetFound) return std::nullopt;
    return probe.heightOffset;
}

std::string FormatCapture(const MotionCopy& lastMotion, std::string_view description, int purpose,
                          const std::optional<std::string>& aircraft, std::optional<double> heightCorrection) {
    const uint8_t* m = lastMotion.data();
    uint32_t attitude = LoadU32(m + 32);
    auto latitude = static_cast<int32_t>(LoadU32(m + 36));
    auto longitude = static_cast<int32_t>(LoadU32(m + 40));
    uint32_t altitude = LoadU32(m + 44);
    uint16_t latitudeFraction = LoadU16(m + 48);
    uint16_t longitudeFraction = LoadU16(m + 50);
    uint16_t altitudeFraction = LoadU16(m + 52);

    std::string out = "\n;  Capture description - ";
    out += CText(description).substr(0, kMaxCaptureDescription);
    out += '\n';

    double heading = static_cast<double>(((attitude >> 2) & 0x3FF) * 360) / 1023;

    if (purpose == kCaptureTarget) {
        out += ";  Target placement info.  Make sure to change X to proper target number\n";
        out += "[qdl_object.X]\n";
        out += "name=change me\n";
        out += "target_team=0\n";
        if (aircraft) {
            out += "aircraft=";
            out += CText(*aircraft);
            out += '\n';
        }
    } else {
        out += ";  Team placement info\n";
    }

    AppendCoordinate(out, "start_lat=%c%3.3d* %2.2d' %2.2u.%4.4u\"\n", 'N', 'S', latitude, latitudeFraction,
                     kLatitudeUnitsPerArcSecond);
    AppendCoordinate(out, "start_long=%c%3.3d* %2.2d' %2.2u.%4.4u\"\n", 'E', 'W', longitude, longitudeFraction,
                     kLongitudeUnitsPerArcSecond);

    double feet = (static_cast<double>(altitude) + altitudeFraction / 65536.0) * kFeetPerMetre + 0.5;
    if (aircraft && heightCorrection) feet -= *heightCorrection;
    Append(out, "start_alt=%.2f\n", feet);

    Append(out, purpose == kCaptureTarget ? "start_heading=%.2f\n" : "formation_heading=%.2f\n", heading);
    return out;
}

bool WriteCapture(const std::filesystem::path& workDir, const MotionCopy& lastMotion, std::string_view description,
                  int purpose, std::string_view longName) {
    FilePtr f(std::fopen((workDir / "quarneld/capture.txt").c_str(), "a"));
    if (!f) return false;
    struct stat st {};
    bool regular = fstat(fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode);

    std::optional<std::string> aircraft = CaptureAircraftFromLongName(longName);
    std::optional<double> correction;
    if (aircraft) correction = CaptureHeightCorrection(workDir, *aircraft);

    std::string block = FormatCapture(lastMotion, description, purpose, aircraft, correction);
    bool written = std::fwrite(block.data(), 1, block.size(), f.get()) == block.size();
    written = std::fflush(f.get()) == 0 && written;
    // A block cut off by a full disk would be pasted as a broken section: take it back.
    if (!written && regular) {
        [[maybe_unused]] int ignored = ftruncate(fileno(f.get()), st.st_size);
    }
    return written;
}

}  // namespace qd

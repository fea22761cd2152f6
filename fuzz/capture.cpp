// A client decides its motion copy and its long name: any bytes must give a well-formed
// capture block.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qd::MotionCopy motion{};
    std::size_t n = std::min(size, motion.size());
    std::copy(data, data + n, motion.begin());
    std::string longName(reinterpret_cast<const char*>(data) + n, size - n);
    auto aircraft = qd::CaptureAircraftFromLongName(longName);
    if (aircraft && (aircraft->empty() || aircraft->find_first_of("[]") != std::string::npos)) std::abort();
    for (int purpose : {qd::kCaptureTeam, qd::kCaptureTarget}) {
        std::string block = qd::FormatCapture(motion, longName, purpose, aircraft, 12.5);
        if (block.empty() || block.back() != '\n') std::abort();
        if (block.find("\nstart_lat=") == std::string::npos || block.find("\nstart_long=") == std::string::npos ||
            block.find("\nstart_alt=") == std::string::npos)
            std::abort();
    }
    return 0;
}

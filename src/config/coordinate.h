#pragma once
// Coordinate texts: a hemisphere letter, degrees, '*', minutes, '\'', seconds and '"',
// e.g. N47* 26' 30.5". N/S give metres north, E/W longitude units.
#include <cstdint>
#include <string>

namespace qd {

struct CoordinateScan {
    double value = 0;          // in internal units; 0 when unusable
    bool letterKnown = false;  // N, S, E or W
    bool hasDegrees = false;
    bool finite = true;        // false: a number was infinite or NaN and the value is 0
};

// Upper-cases text in place and scans it with "%c%lf* %lf' %lf\"".
CoordinateScan ScanCoordinate(std::string& text);

// The value of ScanCoordinate.
double ParseCoordinate(std::string& text);

// Stores value as its integer part (toward zero) and (value - integer part) x 65536
// toward zero as a 16-bit fraction. Values beyond 32 bits wrap by whole turns of 2^32,
// which is what a longitude means; returns false when that happened.
bool SplitValue(double value, int32_t& whole, uint16_t& fraction);

// ParseCoordinate, written split. Returns false when the text holds no usable
// coordinate: an unknown letter or missing degrees store 0 as the unsplit form does, an
// infinite or NaN number leaves whole and fraction unchanged.
bool ParseCoordinateSplit(std::string& text, int32_t& whole, uint16_t& fraction);

// Inverse notation for reports: N47* 26' 30.50" (two decimals of seconds).
std::string FormatLatitude(double metres);
std::string FormatLongitude(double units);

}  // namespace qd

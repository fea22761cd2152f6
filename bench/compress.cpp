// Damage-profile compression: the reference search against the hash-chain compressor on
// random, text-like and repetitive profiles of 4, 64 and 512 KiB. Both must produce the
// same bytes; prints the times and the speed-up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "protocol/compress.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Random(std::size_t n, std::mt19937& rng) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

// Lines of keys and numbers, like the simulator's text files.
std::vector<uint8_t> TextLike(std::size_t n, std::mt19937& rng) {
    static const char* words[] = {"damage", "system", "engine", "fuel", "tank", "wing", "left", "right",
                                  "gear",   "armor",  "hit",    "points", "box", "radius", "center", "flaps"};
    std::string s;
    while (s.size() < n) {
        s += "[";
        s += words[rng() % 16];
        s += ".";
        s += std::to_string(rng() % 40);
        s += "]\r\n";
        for (int k = 0, lines = 2 + int(rng() % 5); k < lines; ++k) {
            s += words[rng() % 16];
            s += "_";
            s += words[rng() % 16];
            s += "=";
            s += std::to_string(rng() % 2000);
            s += ",";
            s += std::to_string(int(rng() % 200) - 100);
            s += "\r\n";
        }
    }
    s.resize(n);
    return {s.begin(), s.end()};
}

// A 37-byte record repeated with a byte changed now and then.
std::vector<uint8_t> Repetitive(std::size_t n, std::mt19937& rng) {
    std::vector<uint8_t> rec = Random(37, rng), v;
    while (v.size() < n) {
        v.insert(v.end(), rec.begin(), rec.end());
        if (rng() % 8 == 0) rec[rng() % rec.size()] = uint8_t(rng());
    }
    v.resize(n);
    return v;
}

// The best of `repeat` runs: the machine is shared, and the minimum is the least noisy.
template <typename F>
double Seconds(F&& f, int repeat) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main() {
    std::mt19937 rng(2024);
    std::printf("%-12s %8s %10s %12s %12s %10s\n", "content", "KiB", "stream", "naive ms", "fast ms", "speed-up");
    std::string at64;
    for (std::size_t kib : {4u, 64u, 512u}) {
        for (int kind = 0; kind < 3; ++kind) {
            const char* name = kind == 0 ? "random" : kind == 1 ? "text-like" : "repetitive";
            const std::size_t n = kib * 1024;
            const auto content = kind == 0 ? Random(n, rng) : kind == 1 ? TextLike(n, rng) : Repetitive(n, rng);
            std::vector<uint8_t> naive, fast;
            const double tn = Seconds([&] { naive = qd::CompressNaive(content); }, kib == 4 ? 20 : kib == 64 ? 3 : 1);
            const double tf = Seconds([&] { fast = qd::CompressFast(content); }, kib == 512 ? 5 : 30);
            if (naive != fast) {
                std::printf("MISMATCH: %s %zu KiB\n", name, kib);
                return 1;
            }
            const double speedup = tn / tf;
            if (kib == 64) at64 += std::string(at64.empty() ? "" : ", ") + name + " " + std::to_string(int(speedup)) + "x";
            std::printf("%-12s %8zu %10zu %12.2f %12.3f %9.0fx\n", name, kib, fast.size(), tn * 1e3, tf * 1e3,
                        speedup);
        }
    }
    std::printf("outputs byte-identical; speed-up on 64 KiB: %s (target 50x)\n", at64.c_str());
    return 0;
}

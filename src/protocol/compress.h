#pragma once
// The damage-profile compression clients expect: LSB-first bit fields, literals and
// back-references into the last 4159 bytes, coded in 512-byte blocks that no match
// crosses, each block closed by the 16-bit mark 0xFFFD and the stream by one more.
//
// The choice at every position is fixed: the longest match among all starts in the
// window, the nearest among equal lengths, a literal below length 3. Clients only need
// a decodable stream, but cached profiles and tests compare bytes, so the fast
// compressor must make exactly the reference search's choices.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qd {

constexpr std::size_t kCompressWindow = 4159;
constexpr std::size_t kCompressBlock = 512;
constexpr uint32_t kEndOfBlockMark = 0xFFFD;

// The reference search: every start from the farthest to the nearest. Quadratic in the
// window; kept for tests, the benchmark and the fuzzer.
std::vector<uint8_t> CompressNaive(std::span<const uint8_t> content);

// Hash chains over 3-byte prefixes, walked nearest first; same output as CompressNaive.
std::vector<uint8_t> CompressFast(std::span<const uint8_t> content);

// Inverse of the above for a content of `length` bytes. Refuses (nullopt) a stream that
// is truncated, refers before the content or across a block, misses a block mark, or
// carries anything but zero padding after the final mark.
std::optional<std::vector<uint8_t>> Decompress(std::span<const uint8_t> stream, std::size_t length);

// The NET_DAMAGE_PROFILE datagram for a content (compressed with CompressFast).
std::vector<uint8_t> BuildDamageProfileMessage(std::span<const uint8_t> content);

// What a damage profile contains: CR LF for an unhittable object, else the whole file.
// `path` is the simulator's path (backslashes allowed), relative to workDir unless
// absolute. nullopt when the path is empty or the file cannot be opened or fully read;
// `error` then says which file and why.
std::optional<std::vector<uint8_t>> LoadDamageProfileContent(const std::string& path,
                                                             const std::filesystem::path& workDir, bool unhittable,
                                                             std::string* error = nullptr);

// Both steps: the message for an object's profile, or nullopt when nothing is built.
std::optional<std::vector<uint8_t>> BuildDamageProfileFromFile(const std::string& path,
                                                               const std::filesystem::path& workDir,
                                                               bool unhittable, std::string* error = nullptr);

}  // namespace qd

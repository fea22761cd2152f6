// Attacks on the real host process over loopback (tests/dplay/attacks.py), each with a
// well-behaved client enumerating, joining, creating its player and getting answers while
// the attack runs and after it. The script prints what each side got; the table says what
// the limits must make of it.
#include <cstdio>
#include <map>
#include <sstream>

#include "platform/host_process.h"

namespace qd {
namespace {

using namespace qd::test;

struct Bound {
    std::string figure;
    double min, max;
};
struct Attack {
    std::string name;
    std::vector<Bound> bounds;
};
void PrintTo(const Attack& a, std::ostream* os) { *os << a.name; }

// Every attack also requires served_during = served_after = 1.
const std::vector<Attack> kAttacks = {
    // A stranger's pings open nothing.
    {"ping-streams", {{"answers_to_stranger", 0, 0}}},
    // Strangers' streams: few per address, small frames, closed when no frame comes.
    {"idle-streams", {{"held_1s", 0, 4 * 32}, {"held_7s", 0, 0}, {"rss_growth_kb", 0, 8 * 1024}}},
    // Two joins in progress per address.
    {"pending-joins", {{"pending_granted", 1, 2 * 8}}},
    // Deleted client groups stay deleted; group data and counts are bounded.
    {"group-churn", {{"groups_left", 0, 0}, {"name_table_bytes", 1, 64 * 1024}}},
    // Session changes do not come by datagram.
    {"datagram-spoof", {{"victim_kept", 1, 1}}},
    // A second stream cannot speak for a machine.
    {"impersonation", {{"stream_refused", 1, 1}, {"victim_kept", 1, 1}, {"spoofed_chat_shown", 0, 0}}},
    // A silent peer costs each join a short wait (the visits' step limit holds), and after
    // three it is gone.
    {"silent-acker", {{"silent_peer_dropped", 1, 1}}},
    {"enum-flood-udp", {{"enum_answered_of_5", 5, 5}}},
    {"enum-flood-tcp", {}},
    // The team rules hold for a client's own AddPlayerToGroup; the host's players stay its own.
    {"direct-team-moves",
     {{"refusals", 3, 7}, {"attacker_in_target_team", 0, 0}, {"attacker_in_team_of_4", 1, 4},
      {"host_in_attacker_group", 0, 0}}},
    // Trimming the chat pane costs little; chat lines are bounded per player.
    {"chat-flood", {{"probes_answered", 5, 5}, {"short_lines_shown", 1, 6}}},
    // Object data answers are bounded per player.
    {"object-data", {{"amplification", 0, 40}}},
};

class HostAttack : public ::testing::TestWithParam<Attack> {};

TEST_P(HostAttack, WellBehavedClientIsServedDuringAndAfter) {
    if (shell("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not installed";
    const Attack& attack = GetParam();
    SampleHost host;
    ASSERT_TRUE(host.start());
    const fs::path log = host.work.path() / "attack.log";
    const int status = shell("timeout 100 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/attacks.py --attack " +
                             attack.name + host.clientArgs() + " --stream-port " + std::to_string(host.dplayPort) +
                             " --host-pid " + std::to_string(host.process.pid()) + " > '" + log.string() + "' 2>&1");
    const std::string output = readFile(log);
    std::printf("%s", output.c_str());
    ASSERT_EQ(status, 0) << output << "--- host:\n" << host.process.output();
    // The script's "figure NAME=VALUE" lines.
    std::map<std::string, double> got;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("figure ", 0) == 0 && line.find('=') != std::string::npos)
            got[line.substr(7, line.find('=') - 7)] = std::atof(line.c_str() + line.find('=') + 1);
    std::vector<Bound> bounds{{"served_during", 1, 1}, {"served_after", 1, 1}};
    bounds.insert(bounds.end(), attack.bounds.begin(), attack.bounds.end());
    for (const Bound& b : bounds) {
        ASSERT_TRUE(got.count(b.figure)) << b.figure << " not reported:\n" << output;
        EXPECT_GE(got[b.figure], b.min) << b.figure;
        EXPECT_LE(got[b.figure], b.max) << b.figure;
    }
    EXPECT_FALSE(host.process.exited()) << host.process.output();
    EXPECT_EQ(host.process.terminate(10s), 0) << host.process.output();
    for (const char* bad : {"rror", "NOT"}) EXPECT_EQ(host.errorLog().find(bad), std::string::npos) << host.errorLog();
}

INSTANTIATE_TEST_SUITE_P(Surfaces, HostAttack, ::testing::ValuesIn(kAttacks), [](const auto& info) {
    std::string name = info.param.name;
    std::erase(name, '-');
    return name;
});

}  // namespace
}  // namespace qd

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "app/run.h"
#include "app/startup.h"
#include "app/version.h"
#include "platform/systemd.h"
#include "session/data_access.h"

int main(int argc, char** argv) {
    CLI::App app{"quarneld: dedicated host for multiplayer sessions of a combat flight simulator"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("quarneld ") + qd::kQuarneldVersion + " (commit " +
                                          qd::kQuarneldCommit + ")");
    qd::PrefixStandardStreamsForJournal();

    std::string workDir = ".";
    bool json = false;
    auto* check = app.add_subcommand("check", "Validate a working directory's configuration without hosting");
    check->add_option("--workdir", workDir, "Working directory (default: the current directory)");
    check->add_flag("--json", json, "Print one JSON object");

    qd::RunOptions run;
    std::string runWorkDir = ".";
    std::string lobbyMode, sessionName;
    auto* runCmd = app.add_subcommand("run", "Host the session of a working directory");
    runCmd->add_option("--workdir", runWorkDir, "Working directory (default: the current directory)");
    runCmd->add_option("--lobby", lobbyMode, "Started by a lobby that asks to create or join a session")
        ->check(CLI::IsMember({"create", "join"}, CLI::ignore_case));
    runCmd->add_option("--session-name", sessionName, "The lobby's session name (with --lobby)");
    runCmd->add_option("--bind", run.bindAddress, "IPv4 address the session listens on (default: all)");
    runCmd->add_option("--public-address", run.publicAddress,
                       "Address announced to clients, for a host behind NAT");
    runCmd->add_option("--dplay-port", run.streamPort, "The session's stream and datagram port (2300-2400)")
        ->check(CLI::Range(1, 65535));
    runCmd->add_option("--enum-port", run.enumPort, "Enumeration port (default 47624; tests use others)")
        ->check(CLI::Range(1, 65535));
    runCmd->add_flag("!--no-network", run.network, "Host without network transport (nobody can join)");
    runCmd->add_option("--console", run.consoleAddress, "Operator console address (default 127.0.0.1:8470)");
    runCmd->add_flag("!--no-console", run.console, "Run without the operator console (headless)");
    runCmd->add_option("--console-token-file", run.consoleTokenFile,
                       "File holding the console's login token (made when missing)");
    runCmd->add_option("--instance-name", run.instanceName,
                       "Name of the single-instance marker (default: one host per machine)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    if (*check) return qd::RunCheck(workDir, json, std::cout, std::cerr);
    if (*runCmd) {
        run.workDir = runWorkDir;
        run.version = qd::kQuarneldVersion;
        run.commit = qd::kQuarneldCommit;
        if (!lobbyMode.empty()) {
            qd::LobbySettings lobby;
            lobby.mode = *qd::ParseLobbyMode(lobbyMode);
            lobby.sessionName = qd::WideCopy(sessionName);
            run.lobby = lobby;
        } else if (!sessionName.empty()) {
            std::cerr << "quarneld run: --session-name goes with --lobby\n";
            return 2;
        }
        return qd::RunHost(run);
    }
    return 2;
}

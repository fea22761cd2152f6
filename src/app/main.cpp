#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "app/startup.h"

int main(int argc, char** argv) {
    CLI::App app{"quarneld: dedicated host for multiplayer sessions of a combat flight simulator"};
    app.require_subcommand(1);

    std::string workDir = ".";
    bool json = false;
    auto* check = app.add_subcommand("check", "Validate a working directory's configuration without hosting");
    check->add_option("--workdir", workDir, "Working directory (default: the current directory)");
    check->add_flag("--json", json, "Print one JSON object");

    std::string runWorkDir = ".";
    auto* run = app.add_subcommand("run", "Host the session of a working directory");
    run->add_option("--workdir", runWorkDir, "Working directory (default: the current directory)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    if (*check) return qd::RunCheck(workDir, json, std::cout, std::cerr);
    if (*run) {
        std::cerr << "quarneld run: hosting is not assembled yet; showing the check of " << runWorkDir << "\n";
        return qd::RunCheck(runWorkDir, false, std::cout, std::cerr);
    }
    return 2;
}

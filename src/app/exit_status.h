#pragma once
// What `quarneld run` tells the shell and the service manager when it ends. The box
// shown just before an early end goes to standard error; the status says why.
namespace qd {

// The operator (or SIGINT/SIGTERM) ended the host, or cancelled the connection dialog.
constexpr int kExitNormal = 0;
// Start-up failed for a reason outside the configuration: the single-instance marker
// could not be checked, or the console could not listen.
constexpr int kExitStartFailed = 1;
// The command line is wrong (options, working directory, addresses).
constexpr int kExitUsage = 2;
// Another copy already hosts with this instance name; it was left untouched.
constexpr int kExitAnotherInstance = 3;
// The configuration gives nothing to host ("Config error, no objects found").
constexpr int kExitConfiguration = 4;
// The session could not be opened: network ports taken, or a lobby asked to join.
constexpr int kExitSessionNotOpened = 5;

}  // namespace qd

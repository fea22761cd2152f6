#pragma once
// The operator console: an HTTP and WebSocket server on its own thread that serves the
// page built into the program, pushes the dialog model to every open page as it
// changes, and posts the operator's commands to the window queue in arrival order.
// The window thread never waits for a browser.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "console/protocol.h"
#include "console/report.h"
#include "platform/dialog.h"
#include "platform/window.h"

namespace qd::console {

struct ConsoleOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8470;          // 0: any free port (tests)
    std::string tokenFile;         // empty: a new random token for this run
    std::size_t maxRequestBytes = 16 * 1024;  // request head and body each; WebSocket messages
    std::size_t maxConnections = 64;
    std::size_t maxConnectionsPerSource = 16;  // one address's share (an SSH tunnel's is 127.0.0.1)
    std::chrono::seconds idleTimeout{30};      // between the requests of a connection that showed the token
    // A connection must bring a complete request with the token within this; until it
    // has, it is also the first closed when a newcomer needs room.
    std::chrono::seconds requestTimeout{5};
    // GET /status.json and GET /metrics: made on the window thread; unset, both are 404.
    std::function<HostReport()> report;
    // false with a token file: the printed address leaves the token out (the journal is
    // readable by more people than the file).
    bool printToken = true;
};

// "ADDR:PORT" (an IPv6 address in brackets) into the options; false with a message.
bool ParseConsoleAddress(std::string_view text, ConsoleOptions& options, std::string& error);

// Called on the console's thread whenever it refreshes the page state; must be safe to
// call from there (hand it copies guarded by a lock, not the window thread's data).
using StatusCallback = std::function<ConsoleStatus()>;

class ConsoleServer {
public:
    ConsoleServer(Desktop& desktop, MessageQueue& queue, ConsoleOptions options, StatusCallback status);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Reads or makes the token, listens, and prints the address with the token to out.
    // False (with a message naming the address or the file) when it cannot.
    bool Start(std::ostream& out, std::string& error);
    // Closes every connection and joins the console's threads; safe to call twice.
    void Stop();

    uint16_t port() const;       // the bound port once started
    std::string url() const;     // the login address, with the token
    const std::string& token() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qd::console

#include "console/server.h"

#include <atomic>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "console/assets.h"
#include "console/auth.h"
#include "console/report.h"
#include "platform/systemd.h"

namespace qd::console {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace detail {

std::string_view SV(beast::string_view s) { return {s.data(), s.size()}; }

std::string HostLiteral(const asio::ip::address& a) { return a.is_v6() ? "[" + a.to_string() + "]" : a.to_string(); }

using Response = http::response<http::string_body>;

// An open connection as the limits see it (io thread only). A connection is trusted once
// one of its requests carried the token; until then it is closed sooner when idle and
// first when room is needed.
class Connection {
public:
    virtual ~Connection() = default;
    virtual void CloseNow() = 0;
    asio::ip::address source;
    std::chrono::steady_clock::time_point opened = std::chrono::steady_clock::now();
    bool trusted = false;
    bool closed = false;
};

// Hands the window thread's answers back to the console's thread while it runs.
class Gate {
public:
    explicit Gate(asio::io_context& ioc) : ioc_(&ioc) {}
    template <class F>
    void Post(F f) {
        std::lock_guard lock(mutex_);
        if (ioc_) asio::post(*ioc_, std::move(f));
    }
    void Close() {
        std::lock_guard lock(mutex_);
        ioc_ = nullptr;
    }

private:
    std::mutex mutex_;
    asio::io_context* ioc_;
};

class WsSession;

}  // namespace detail

using namespace detail;

class ConsoleServer::Impl {
public:
    Impl(Desktop& desktop, MessageQueue& queue, ConsoleOptions options, StatusCallback status)
        : desktop_(desktop), queue_(queue), options_(std::move(options)), status_(std::move(status)) {}

    bool Start(std::ostream& out, std::string& error);
    void Stop();

    // Everything below runs on the console's io thread.
    bool Submit(std::string_view text);
    void Register(const std::shared_ptr<WsSession>& session);
    void Track(const std::shared_ptr<Connection>& connection);
    std::string CookieName() const { return std::string(kTokenCookie) + "_" + std::to_string(port_); }
    std::string UrlWithToken() const {
        return "http://" + printedHost_ + ":" + std::to_string(port_) + "/?token=" + token_;
    }

    asio::io_context ioc_{1};
    Desktop& desktop_;
    MessageQueue& queue_;
    ConsoleOptions options_;
    StatusCallback status_;
    std::string token_;
    std::string printedHost_;
    uint16_t port_ = 0;
    std::optional<HostCheck> hostCheck_;
    std::shared_ptr<const std::string> latest_;  // the newest snapshot JSON (io thread)
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>(ioc_);
    ConsoleReport Figures();
    // io thread:
    uint64_t refusedFull_ = 0, evicted_ = 0, loginTimeouts_ = 0;

private:
    void Accept();
    void Broadcast(std::shared_ptr<const std::string> json);
    void Watch();
    bool Admit(const asio::ip::address& source);
    bool Evict(const asio::ip::address* source);

    tcp::acceptor acceptor_{ioc_};
    asio::steady_timer acceptRetry_{ioc_};
    std::vector<std::weak_ptr<WsSession>> sockets_;
    std::vector<std::weak_ptr<Connection>> all_;
    std::thread ioThread_;
    std::thread watcher_;
    std::atomic<bool> stopping_{false};
    bool started_ = false;
};

namespace detail {

// A pushed page: the newest snapshot goes out, older ones waiting behind a slow
// browser are replaced rather than queued.
class WsSession : public Connection, public std::enable_shared_from_this<WsSession> {
public:
    WsSession(tcp::socket socket, ConsoleServer::Impl& server) : ws_(std::move(socket)), server_(server) {}

    void Accept(http::request<http::string_body> request) {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = std::chrono::seconds(10);
        timeout.idle_timeout = server_.options_.idleTimeout;
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "quarneld"); }));
        ws_.read_message_max(server_.options_.maxRequestBytes);
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
    }

    void Push(std::shared_ptr<const std::string> json) {
        if (!open_) return;
        if (writing_) {
            pending_ = std::move(json);
            return;
        }
        Write(std::move(json));
    }

    void CloseNow() override {
        open_ = false;
        closed = true;
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(ws_).socket().close(ec);
    }

private:
    void OnAccept(beast::error_code ec) {
        if (ec) return;
        open_ = true;
        server_.Register(shared_from_this());
        if (server_.latest_) Push(server_.latest_);
        Read();
    }

    void Read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                self->open_ = false;
                return;
            }
            // Malformed commands are dropped; the page is the only sender and gains nothing.
            if (self->ws_.got_text()) self->server_.Submit(beast::buffers_to_string(self->buffer_.data()));
            self->buffer_.consume(self->buffer_.size());
            self->Read();
        });
    }

    void Write(std::shared_ptr<const std::string> json) {
        writing_ = std::move(json);
        ws_.text(true);
        ws_.async_write(asio::buffer(*writing_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->writing_.reset();
            if (ec) {
                self->open_ = false;
                return;
            }
            if (self->pending_) {
                auto next = std::move(self->pending_);
                self->Write(std::move(next));
            }
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    ConsoleServer::Impl& server_;
    beast::flat_buffer buffer_;
    std::shared_ptr<const std::string> writing_;
    std::shared_ptr<const std::string> pending_;
    bool open_ = false;

public:
    bool Open() const { return open_; }
};

class HttpSession : public Connection, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, ConsoleServer::Impl& server)
        : stream_(std::move(socket)), server_(server), buffer_(server.options_.maxRequestBytes + 1024) {}

    void Start() { Read(); }

    void CloseNow() override {
        closed = true;
        report_.reset();
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.socket().close(ec);
    }

private:
    void Read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.options_.maxRequestBytes));
        parser_->body_limit(server_.options_.maxRequestBytes);
        stream_.expires_after(trusted ? server_.options_.idleTimeout : server_.options_.requestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec == beast::error::timeout && !trusted && !closed) ++server_.loginTimeouts_;
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted) {
            CloseNow();
            return;
        }
        if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large, "Request too large");
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
            return Refuse(http::status::request_header_fields_too_large, "Request header too large");
        if (ec) {
            if (ec.category() == http::make_error_code(http::error::bad_method).category())
                return Refuse(http::status::bad_request, "Malformed request");
            CloseNow();
            return;
        }
        Handle(parser_->release());
    }

    Response Make(http::status status, unsigned version, std::string body, std::string_view type) {
        Response res{status, version};
        res.set(http::field::server, "quarneld");
        res.set(http::field::cache_control, "no-store");
        res.set("X-Content-Type-Options", "nosniff");
        res.set("Referrer-Policy", "no-referrer");
        res.set("X-Frame-Options", "DENY");
        res.set("Content-Security-Policy",
                "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
        res.set(http::field::content_type, beast::string_view(type.data(), type.size()));
        res.body() = std::move(body);
        return res;
    }

    void Refuse(http::status status, std::string text) {
        Response res = Make(status, 11, std::move(text) + "\n", "text/plain; charset=utf-8");
        if (status == http::status::unauthorized) res.set(http::field::www_authenticate, "Bearer realm=\"quarneld\"");
        res.keep_alive(false);
        Send(std::move(res), true);
    }

    void Handle(http::request<http::string_body> req) {
        const std::string_view target = SV(req.target());
        const std::string_view host = SV(req[http::field::host]);
        std::optional<std::string_view> origin;
        if (req.find(http::field::origin) != req.end()) origin = SV(req[http::field::origin]);
        if (!server_.hostCheck_->HostAllowed(host)) return Refuse(http::status::forbidden, "Unknown host");
        if (!server_.hostCheck_->OriginAllowed(origin, host))
            return Refuse(http::status::forbidden, "Requests from another origin are refused");

        bool login = false;
        if (auto query = QueryParameter(target, "token")) {
            if (!TokensEqual(*query, server_.token_)) return Refuse(http::status::forbidden, "Wrong token");
            login = true;
        } else if (req.find(http::field::authorization) != req.end()) {
            // A dashboard's scrape: the token as a bearer credential, no cookie.
            auto bearer = BearerToken(SV(req[http::field::authorization]));
            if (!bearer || !TokensEqual(*bearer, server_.token_)) return Refuse(http::status::forbidden, "Wrong token");
        } else {
            auto cookie = CookieValue(SV(req[http::field::cookie]), server_.CookieName());
            if (!cookie) return Refuse(http::status::unauthorized, "Open the address printed at start-up, with its token");
            if (!TokensEqual(*cookie, server_.token_)) return Refuse(http::status::forbidden, "Wrong token");
        }

        trusted = true;
        const std::string_view path = TargetPath(target);
        if (websocket::is_upgrade(req)) {
            if (path != "/ws") return Refuse(http::status::not_found, "Not found");
            stream_.expires_never();
            closed = true;  // the socket lives on in the page's session
            auto ws = std::make_shared<WsSession>(stream_.release_socket(), server_);
            ws->source = source;
            ws->opened = opened;
            ws->trusted = true;
            server_.Track(ws);
            ws->Accept(std::move(req));
            return;
        }

        const unsigned version = req.version();
        const bool keepAlive = req.keep_alive();
        const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
        Response res;
        if (path == "/command") {
            if (req.method() != http::verb::post) {
                res = Make(http::status::method_not_allowed, version, "POST only\n", "text/plain; charset=utf-8");
            } else if (!ParseCommand(req.body())) {
                res = Make(http::status::bad_request, version, "Malformed command\n", "text/plain; charset=utf-8");
            } else if (!server_.Submit(req.body())) {
                res = Make(http::status::service_unavailable, version, "The host is busy\n", "text/plain; charset=utf-8");
            } else {
                res = Make(http::status::accepted, version, "", "text/plain; charset=utf-8");
            }
        } else if (!get) {
            res = Make(http::status::method_not_allowed, version, "Not allowed\n", "text/plain; charset=utf-8");
        } else if (login && (path == "/" || path == "/index.html")) {
            // The token leaves the address bar; the cookie carries it from now on.
            res = Make(http::status::see_other, version, "", "text/plain; charset=utf-8");
            res.set(http::field::location, "/");
        } else if ((path == "/status.json" || path == "/metrics") && server_.options_.report) {
            return Report(path == "/metrics", version, keepAlive, req.method() == http::verb::head);
        } else if (path == "/state") {
            res = Make(http::status::ok, version, server_.latest_ ? *server_.latest_ : std::string("{}"),
                       "application/json; charset=utf-8");
        } else if (auto file = FindEmbeddedFile(path == "/" ? std::string_view("/index.html") : path)) {
            res = Make(http::status::ok, version, std::string(file->bytes), ContentType(file->path));
        } else {
            res = Make(http::status::not_found, version, "Not found\n", "text/plain; charset=utf-8");
        }
        if (login) {
            res.set(http::field::set_cookie,
                    server_.CookieName() + "=" + server_.token_ + "; Path=/; HttpOnly; SameSite=Strict");
        }
        res.keep_alive(keepAlive);
        res.prepare_payload();
        if (req.method() == http::verb::head) res.body().clear();
        Send(std::move(res), !keepAlive);
    }

    void Send(Response res, bool close) {
        if (!res.has_content_length()) res.prepare_payload();
        auto message = std::make_shared<Response>(std::move(res));
        stream_.expires_after(server_.options_.idleTimeout);
        http::async_write(stream_, *message,
                          [self = shared_from_this(), message, close](beast::error_code ec, std::size_t) {
                              if (ec) return self->CloseNow();
                              if (close) return self->Linger();
                              self->Read();
                          });
    }

    // The report is made on the window thread; the answer goes out here, or "busy" when
    // the window thread has not answered in time.
    void Report(bool metrics, unsigned version, bool keepAlive, bool head) {
        report_ = std::make_shared<asio::steady_timer>(server_.ioc_, std::chrono::seconds(5));
        std::weak_ptr<asio::steady_timer> pending = report_;
        report_->async_wait([self = shared_from_this(), pending, version, keepAlive, head](beast::error_code ec) {
            if (ec || pending.expired() || self->report_ != pending.lock()) return;
            self->Answer(std::nullopt, false, version, keepAlive, head);
        });
        std::weak_ptr<HttpSession> weak = shared_from_this();
        auto gate = server_.gate_;
        auto make = server_.options_.report;
        const bool posted = server_.queue_.PostTask([weak, gate, make, pending, metrics, version, keepAlive, head] {
            auto report = std::make_shared<HostReport>(make());
            gate->Post([weak, report, pending, metrics, version, keepAlive, head] {
                auto self = weak.lock();
                if (!self || pending.expired() || self->report_ != pending.lock()) return;
                self->Answer(*report, metrics, version, keepAlive, head);
            });
        });
        if (!posted) Answer(std::nullopt, false, version, keepAlive, head);
    }

    void Answer(std::optional<HostReport> report, bool metrics, unsigned version, bool keepAlive, bool head) {
        if (report_) report_->cancel();
        report_.reset();
        Response res;
        if (!report)
            res = Make(http::status::service_unavailable, version, "The host is busy\n", "text/plain; charset=utf-8");
        else if (metrics)
            res = Make(http::status::ok, version, MetricsText(*report, server_.Figures()),
                       "text/plain; version=0.0.4; charset=utf-8");
        else
            res = Make(http::status::ok, version, StatusJson(*report), "application/json; charset=utf-8");
        res.keep_alive(keepAlive);
        res.prepare_payload();
        if (head) res.body().clear();
        Send(std::move(res), !keepAlive);
    }

    // After a refusal the peer may still be sending: read and drop it for a moment so
    // the answer is not lost to a reset.
    void Linger() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.expires_after(std::chrono::seconds(2));
        Drain();
    }

    void Drain() {
        stream_.async_read_some(asio::buffer(drain_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ > 256 * 1024) return self->CloseNow();
            self->Drain();
        });
    }

    beast::tcp_stream stream_;
    ConsoleServer::Impl& server_;
    std::shared_ptr<asio::steady_timer> report_;  // while a report is being made
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    char drain_[4096];
    std::size_t drained_ = 0;
};

}  // namespace detail


bool ConsoleServer::Impl::Start(std::ostream& out, std::string& error) {
    if (started_) {
        error = "console: already started";
        return false;
    }
    if (options_.tokenFile.empty()) {
        token_ = NewToken();
        if (token_.empty()) {
            error = "console token: /dev/urandom could not be read";
            return false;
        }
    } else {
        auto token = TokenFromFile(options_.tokenFile, error);
        if (!token) return false;
        token_ = std::move(*token);
    }

    beast::error_code ec;
    const auto address = asio::ip::make_address(options_.address, ec);
    if (ec) {
        error = "console address " + options_.address + ": not an IP address";
        return false;
    }
    const tcp::endpoint endpoint(address, options_.port);
    const std::string where = HostLiteral(address) + ":" + std::to_string(options_.port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "console: cannot listen on " + where + ": " + ec.message();
        beast::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    hostCheck_.emplace(options_.address, port_);
    printedHost_ = address.is_unspecified() ? (address.is_v6() ? "[::1]" : "127.0.0.1") : HostLiteral(address);

    latest_ = std::make_shared<const std::string>(
        SnapshotJson(desktop_.LatestSnapshot().get(), status_ ? status_() : ConsoleStatus{}));
    Accept();
    started_ = true;
    ioThread_ = std::thread([this] {
        auto guard = asio::make_work_guard(ioc_);
        for (;;) {
            try {
                ioc_.run();
                return;
            } catch (const std::exception& e) {
                LogLine(LogLevel::Error, std::string("console: ") + e.what());
            }
        }
    });
    watcher_ = std::thread([this] { Watch(); });
    if (options_.printToken || options_.tokenFile.empty())
        out << "Console: " << UrlWithToken() << std::endl;
    else
        out << "Console: http://" << printedHost_ << ":" << port_ << "/ (its token is in " << options_.tokenFile << ")"
            << std::endl;
    return true;
}

void ConsoleServer::Impl::Stop() {
    if (!started_) return;
    started_ = false;
    stopping_ = true;
    gate_->Close();
    auto closed = std::make_shared<std::promise<void>>();
    asio::post(ioc_, [this, closed] {
        beast::error_code ec;
        acceptor_.close(ec);
        acceptRetry_.cancel();
        for (auto& weak : all_)
            if (auto c = weak.lock()) c->CloseNow();
        all_.clear();
        sockets_.clear();
        closed->set_value();
    });
    closed->get_future().wait_for(std::chrono::seconds(5));
    ioc_.stop();
    ioThread_.join();
    watcher_.join();
}

void ConsoleServer::Impl::Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || stopping_) return;
        if (ec) {
            // Out of descriptors or the like: try again shortly instead of spinning.
            acceptRetry_.expires_after(std::chrono::milliseconds(100));
            acceptRetry_.async_wait([this](beast::error_code e) {
                if (!e && !stopping_) Accept();
            });
            return;
        }
        beast::error_code e;
        const auto remote = socket.remote_endpoint(e);
        if (e || !Admit(remote.address())) {
            ++refusedFull_;
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            socket.set_option(tcp::no_delay(true), ec);
            auto session = std::make_shared<HttpSession>(std::move(socket), *this);
            session->source = remote.address();
            Track(session);
            session->Start();
        }
        Accept();
    });
}

void ConsoleServer::Impl::Track(const std::shared_ptr<Connection>& connection) {
    std::erase_if(all_, [](const std::weak_ptr<Connection>& w) {
        auto c = w.lock();
        return !c || c->closed;
    });
    all_.push_back(connection);
}

// Room for one more connection from `source`: within its own share and the total, or
// made by closing the oldest connection that has not shown the token (of that source
// when its share is full). Trusted connections are never closed for a newcomer.
bool ConsoleServer::Impl::Admit(const asio::ip::address& source) {
    std::size_t total = 0, fromSource = 0;
    for (auto& weak : all_) {
        auto c = weak.lock();
        if (!c || c->closed) continue;
        ++total;
        if (c->source == source) ++fromSource;
    }
    if (fromSource >= options_.maxConnectionsPerSource) return Evict(&source);
    if (total >= options_.maxConnections) return Evict(nullptr);
    return true;
}

bool ConsoleServer::Impl::Evict(const asio::ip::address* source) {
    std::shared_ptr<Connection> oldest;
    for (auto& weak : all_) {
        auto c = weak.lock();
        if (!c || c->closed || c->trusted || (source && c->source != *source)) continue;
        if (!oldest || c->opened < oldest->opened) oldest = c;
    }
    if (!oldest) return false;
    oldest->CloseNow();
    ++evicted_;
    return true;
}

ConsoleReport ConsoleServer::Impl::Figures() {
    ConsoleReport r;
    for (auto& weak : all_)
        if (auto c = weak.lock(); c && !c->closed) ++r.connections;
    for (auto& weak : sockets_)
        if (auto s = weak.lock(); s && s->Open()) ++r.pages;
    r.refusedFull = refusedFull_;
    r.evicted = evicted_;
    r.loginTimeouts = loginTimeouts_;
    return r;
}

void ConsoleServer::Impl::Register(const std::shared_ptr<WsSession>& session) {
    std::erase_if(sockets_, [](const std::weak_ptr<WsSession>& w) { return w.expired(); });
    sockets_.push_back(session);
}

void ConsoleServer::Impl::Broadcast(std::shared_ptr<const std::string> json) {
    latest_ = json;
    for (auto& weak : sockets_)
        if (auto s = weak.lock()) s->Push(json);
}

bool ConsoleServer::Impl::Submit(std::string_view text) {
    auto command = ParseCommand(text);
    if (!command) return false;
    Desktop* desktop = &desktop_;
    MessageQueue* queue = &queue_;
    return queue_.PostTask([desktop, queue, c = std::move(*command)] {
        // The model is published after each dispatched message. A command that opens a
        // modal dialog or question box does not return until it is answered, so a second
        // message is queued first: the nested loop dispatches it and the box is shown.
        queue->PostTask([] {});
        ApplyCommand(*desktop, c);
    });
}

void ConsoleServer::Impl::Watch() {
    uint64_t seen = 0;
    std::optional<ConsoleStatus> lastStatus;
    while (!stopping_) {
        auto snapshot = desktop_.WaitForSnapshot(seen, std::chrono::milliseconds(100));
        ConsoleStatus status = status_ ? status_() : ConsoleStatus{};
        if (!snapshot) {
            if (lastStatus && status == *lastStatus) continue;
            snapshot = desktop_.LatestSnapshot();
        }
        if (snapshot) seen = snapshot->revision;
        lastStatus = status;
        auto json = std::make_shared<const std::string>(SnapshotJson(snapshot.get(), status));
        asio::post(ioc_, [this, json = std::move(json)]() mutable { Broadcast(std::move(json)); });
    }
}

bool ParseConsoleAddress(std::string_view text, ConsoleOptions& options, std::string& error) {
    std::string_view host;
    std::string_view port = text;
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
        error = "console address " + std::string(text) + ": expected ADDRESS:PORT with a port from 0 to 65535";
        return false;
    }
    if (!host.empty()) {
        beast::error_code bad;
        asio::ip::make_address(std::string(host), bad);
        if (bad) {
            error = "console address " + std::string(text) + ": " + std::string(host) + " is not an IP address";
            return false;
        }
        options.address = std::string(host);
    }
    options.port = static_cast<uint16_t>(value);
    return true;
}

ConsoleServer::ConsoleServer(Desktop& desktop, MessageQueue& queue, ConsoleOptions options, StatusCallback status)
    : impl_(std::make_unique<Impl>(desktop, queue, std::move(options), std::move(status))) {}

ConsoleServer::~ConsoleServer() { Stop(); }

bool ConsoleServer::Start(std::ostream& out, std::string& error) { return impl_->Start(out, error); }
void ConsoleServer::Stop() { impl_->Stop(); }
uint16_t ConsoleServer::port() const { return impl_->port_; }
std::string ConsoleServer::url() const { return impl_->UrlWithToken(); }
const std::string& ConsoleServer::token() const { return impl_->token_; }

}  // namespace qd::console

// The console server on loopback: login, refusals, limits, pushed snapshots and the
// order in which commands reach the window thread.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <unistd.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/templates.h"
#include "console/auth.h"
#include "console/server.h"
#include "platform/temp_dir.h"

namespace qd::console {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kWait = 5s;

// A window thread with the main window open, logging the commands its procedure gets.
class WindowThread {
public:
    WindowThread() {
        std::promise<void> ready;
        thread_ = std::thread([this, &ready] {
            MessageQueue queue;
            Desktop desktop(queue);
            desktop.SetEchoToStderr(false);
            queue_ = &queue;
            desktop_ = &desktop;
            main_ = desktop.CreateDialogParam(MainWindowTemplate(), kNoWindow,
                                              [this](Dialog&, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
                                                  if (msg == WM_COMMAND) {
                                                      std::lock_guard lock(mutex_);
                                                      commands_.push_back(LOWORD(w));
                                                  }
                                                  return msg == WM_INITDIALOG;
                                              },
                                              0);
            desktop.PublishSnapshot();
            ready.set_value();
            queue.RunUntil([] { return false; });
        });
        ready.get_future().wait();
    }
    ~WindowThread() {
        queue_->PostTask([q = queue_] { q->PostQuitMessage(0); });
        thread_.join();
    }
    MessageQueue& queue() { return *queue_; }
    Desktop& desktop() { return *desktop_; }
    HWND main() const { return main_; }
    std::vector<int> Commands() {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    // Runs f on the window thread and waits for it.
    void Run(std::function<void(Desktop&)> f) {
        std::promise<void> done;
        queue_->PostTask([&] {
            f(*desktop_);
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    std::thread thread_;
    MessageQueue* queue_ = nullptr;
    Desktop* desktop_ = nullptr;
    HWND main_ = kNoWindow;
    std::mutex mutex_;
    std::vector<int> commands_;
};

// Runs one asynchronous step of a test client with a time limit.
template <class Start>
beast::error_code Step(asio::io_context& ioc, Start start) {
    beast::error_code result = asio::error::timed_out;
    bool done = false;
    start([&](beast::error_code ec, auto&&...) {
        result = ec;
        done = true;
    });
    ioc.restart();
    ioc.run_for(kWait);
    return done ? result : beast::error_code(asio::error::timed_out);
}

struct Reply {
    beast::error_code ec;
    http::response<http::string_body> res;
    unsigned status() const { return res.result_int(); }
};

class ConsoleTest : public ::testing::Test {
protected:
    void StartServer(ConsoleOptions options = {}) {
        options.address = "127.0.0.1";
        options.port = 0;
        options.report = [] {
            HostReport r;
            r.version = "9.8.7";
            r.commit = "abc\"def";
            r.sessionOpen = true;
            r.sessionName = "Caf\xe9";
            r.state = "idle";
            r.players = {{7, true, "P\xe9ter", "Red", "Ready", "Spitfire"}, {9, false, "Tug", "", "Waiting", "Tug"}};
            r.network = NetworkReport{};
            r.network->machinesJoined = 1;
            r.network->framesIn = {12, 3};
            return r;
        };
        server_ = std::make_unique<ConsoleServer>(window_.desktop(), window_.queue(), options, [] {
            return ConsoleStatus{"Session \xe9", "10.0.0.7"};
        });
        std::ostringstream out;
        std::string error;
        ASSERT_TRUE(server_->Start(out, error)) << error;
        host_ = "127.0.0.1:" + std::to_string(server_->port());
        EXPECT_EQ(out.str(), "Console: " + server_->url() + "\n");
        cookie_ = "quarneld_console_" + std::to_string(server_->port()) + "=" + server_->token();
    }
    void TearDown() override {
        if (server_) server_->Stop();
    }

    beast::tcp_stream Connect(asio::io_context& ioc) {
        beast::tcp_stream stream(ioc);
        const tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), server_->port());
        EXPECT_FALSE(Step(ioc, [&](auto h) { stream.async_connect(ep, h); }));
        return stream;
    }

    Reply Fetch(http::request<http::string_body> req) {
        asio::io_context ioc;
        auto stream = Connect(ioc);
        if (req[http::field::host].empty()) req.set(http::field::host, host_);
        req.prepare_payload();
        Reply r;
        r.ec = Step(ioc, [&](auto h) { http::async_write(stream, req, h); });
        if (r.ec) return r;
        beast::flat_buffer buffer;
        r.ec = Step(ioc, [&](auto h) { http::async_read(stream, buffer, r.res, h); });
        return r;
    }

    Reply Get(std::string target, std::string cookie = {}, std::string origin = {}, std::string bearer = {}) {
        http::request<http::string_body> req{http::verb::get, target, 11};
        if (!cookie.empty()) req.set(http::field::cookie, cookie);
        if (!bearer.empty()) req.set(http::field::authorization, bearer);
        if (!origin.empty()) req.set(http::field::origin, origin);
        return Fetch(std::move(req));
    }

    Reply Post(const std::string& body) {
        http::request<http::string_body> req{http::verb::post, "/command", 11};
        req.set(http::field::cookie, cookie_);
        req.set(http::field::origin, "http://" + host_);
        req.set(http::field::content_type, "application/json");
        req.body() = body;
        return Fetch(std::move(req));
    }

    // A WebSocket client; the handshake's answer status is kept for refusals.
    struct Ws {
        asio::io_context ioc;
        std::optional<websocket::stream<beast::tcp_stream>> ws;
        websocket::response_type answer;
        beast::error_code ec;
        json Read() {
            beast::flat_buffer buffer;
            ec = Step(ioc, [&](auto h) { ws->async_read(buffer, h); });
            return ec ? json() : json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
        }
        void Send(const json& j) {
            const std::string text = j.dump();
            ec = Step(ioc, [&](auto h) { ws->async_write(asio::buffer(text), h); });
        }
    };
    std::unique_ptr<Ws> OpenWs(const std::string& cookie, const std::string& origin) {
        auto c = std::make_unique<Ws>();
        c->ws.emplace(Connect(c->ioc));
        c->ws->set_option(websocket::stream_base::decorator([&](websocket::request_type& req) {
            if (!cookie.empty()) req.set(http::field::cookie, cookie);
            req.set(http::field::origin, origin);
        }));
        c->ec = Step(c->ioc, [&](auto h) { c->ws->async_handshake(c->answer, host_, "/ws", h); });
        return c;
    }
    // Reads pushed snapshots until one satisfies the predicate.
    json ReadUntil(Ws& c, const std::function<bool(const json&)>& want) {
        for (int i = 0; i < 100; ++i) {
            json j = c.Read();
            if (c.ec) return json();
            if (want(j)) return j;
        }
        return json();
    }

    WindowThread window_;
    std::unique_ptr<ConsoleServer> server_;
    std::string host_;
    std::string cookie_;
};

TEST_F(ConsoleTest, LoginCookieAndRefusals) {
    StartServer();
    EXPECT_EQ(Get("/").status(), 401u);
    EXPECT_EQ(Get("/state").status(), 401u);
    EXPECT_EQ(Get("/?token=0123456789abcdef0123456789abcdef").status(), 403u);
    EXPECT_EQ(Get("/?token=").status(), 403u);

    // The first visit trades the token for a cookie and drops it from the address.
    Reply login = Get("/?token=" + server_->token());
    ASSERT_EQ(login.status(), 303u);
    EXPECT_EQ(login.res[http::field::location], "/");
    const std::string setCookie(login.res[http::field::set_cookie]);
    EXPECT_EQ(setCookie, cookie_ + "; Path=/; HttpOnly; SameSite=Strict");

    Reply page = Get("/", cookie_);
    ASSERT_EQ(page.status(), 200u);
    EXPECT_NE(page.res.body().find("console.js"), std::string::npos);
    EXPECT_EQ(page.res[http::field::content_type], "text/html; charset=utf-8");
    Reply script = Get("/console.js", "other=1; " + cookie_);
    EXPECT_EQ(script.status(), 200u);
    EXPECT_EQ(script.res[http::field::content_type], "text/javascript; charset=utf-8");
    EXPECT_EQ(Get("/missing.js", cookie_).status(), 404u);
    EXPECT_EQ(Get("/", "quarneld_console_" + std::to_string(server_->port()) + "=0123456789abcdef0123").status(), 403u);

    // Another origin, or a name that is not this console's address, is refused even
    // with the right cookie; the console's own origin passes.
    EXPECT_EQ(Get("/state", cookie_, "http://evil.example").status(), 403u);
    EXPECT_EQ(Get("/state", cookie_, "http://127.0.0.1:1").status(), 403u);
    EXPECT_EQ(Get("/state", cookie_, "null").status(), 403u);
    EXPECT_EQ(Get("/state", cookie_, "http://" + host_).status(), 200u);
    http::request<http::string_body> rebound{http::verb::get, "/state", 11};
    rebound.set(http::field::host, "evil.example:" + std::to_string(server_->port()));
    rebound.set(http::field::cookie, cookie_);
    EXPECT_EQ(Fetch(rebound).status(), 403u);
    http::request<http::string_body> local{http::verb::get, "/state", 11};
    local.set(http::field::host, "localhost:" + std::to_string(server_->port()));
    local.set(http::field::cookie, cookie_);
    EXPECT_EQ(Fetch(local).status(), 200u);

    // WebSocket upgrades pass the same checks.
    auto crossWs = OpenWs(cookie_, "http://evil.example");
    EXPECT_TRUE(crossWs->ec);
    EXPECT_EQ(crossWs->answer.result_int(), 403u);
    auto anonWs = OpenWs("", "http://" + host_);
    EXPECT_TRUE(anonWs->ec);
    EXPECT_EQ(anonWs->answer.result_int(), 401u);
    auto ws = OpenWs(cookie_, "http://" + host_);
    ASSERT_FALSE(ws->ec) << ws->ec.message();
    const json first = ws->Read();
    EXPECT_EQ(first.value("type", ""), "snapshot");
}

TEST_F(ConsoleTest, LimitsOnRequests) {
    StartServer();

    http::request<http::string_body> big{http::verb::get, "/state", 11};
    big.set(http::field::cookie, cookie_);
    big.set("X-Padding", std::string(20 * 1024, 'a'));
    EXPECT_EQ(Fetch(big).status(), 431u);

    // A declared body over the limit is refused before it is read.
    {
        asio::io_context ioc;
        auto stream = Connect(ioc);
        const std::string head = "POST /command HTTP/1.1\r\nHost: " + host_ + "\r\nCookie: " + cookie_ +
                                 "\r\nContent-Length: 20000\r\n\r\n";
        ASSERT_FALSE(Step(ioc, [&](auto h) { asio::async_write(stream, asio::buffer(head), h); }));
        http::response<http::string_body> res;
        beast::flat_buffer buffer;
        ASSERT_FALSE(Step(ioc, [&](auto h) { http::async_read(stream, buffer, res, h); }));
        EXPECT_EQ(res.result_int(), 413u);
    }
    EXPECT_EQ(Get("/state", cookie_).status(), 200u);  // still serving

    // A WebSocket message over the limit ends that socket.
    auto ws = OpenWs(cookie_, "http://" + host_);
    ASSERT_FALSE(ws->ec);
    ws->Read();
    ws->Send(json{{"op", "type"}, {"hwnd", window_.main()}, {"control", IDC_CHAT_ENTRY}, {"text", std::string(17000, 'x')}});
    ws->Read();
    EXPECT_TRUE(ws->ec);
}

TEST_F(ConsoleTest, StatusAndMetricsBehindTheToken) {
    StartServer();
    const std::string bearer = "Bearer " + server_->token();
    for (const char* path : {"/status.json", "/metrics"}) {
        Reply anonymous = Get(path);
        EXPECT_EQ(anonymous.status(), 401u) << path;
        EXPECT_EQ(anonymous.res[http::field::www_authenticate], "Bearer realm=\"quarneld\"");
        EXPECT_EQ(Get(path, {}, {}, "Bearer 0123456789abcdef0123456789abcdef").status(), 403u) << path;
        EXPECT_EQ(Get(path, {}, {}, "Basic " + server_->token()).status(), 403u) << path;
        EXPECT_EQ(Get(path, cookie_).status(), 200u) << path;
        EXPECT_EQ(Get(path, {}, {}, bearer).status(), 200u) << path;
    }

    Reply status = Get("/status.json", {}, {}, bearer);
    EXPECT_EQ(status.res[http::field::content_type], "application/json; charset=utf-8");
    EXPECT_EQ(json::parse(status.res.body()), json::parse(R"({"version":"9.8.7","commit":"abc\"def","uptimeSeconds":0,
        "session":{"open":true,"name":"Caf\u00e9","state":"idle","settingsHold":false,"paused":false,"maxPlayers":0},
        "players":[{"id":7,"kind":"client","name":"P\u00e9ter","team":"Red","status":"Ready","aircraft":"Spitfire"},
                   {"id":9,"kind":"object","name":"Tug","team":null,"status":"Waiting","aircraft":"Tug"}],
        "machinesJoined":1})"));

    Reply metrics = Get("/metrics", {}, {}, "bearer " + server_->token());
    EXPECT_EQ(metrics.res[http::field::content_type], "text/plain; version=0.0.4; charset=utf-8");
    const std::string& text = metrics.res.body();
    for (const char* line : {
             "# TYPE quarneld_build_info gauge\nquarneld_build_info{version=\"9.8.7\",commit=\"abc\\\"def\"} 1\n",
             "\nquarneld_game_state{state=\"idle\"} 1\nquarneld_game_state{state=\"launching\"} 0\n",
             "\nquarneld_players{kind=\"client\",status=\"Ready\"} 1\n",
             "\nquarneld_players{kind=\"object\",status=\"Waiting\"} 1\n",
             "\nquarneld_players{kind=\"client\",status=\"Waiting\"} 0\n",
             "\nquarneld_machines_joined 1\n",
             "# TYPE quarneld_frames_total counter\nquarneld_frames_total{direction=\"in\",kind=\"stream\"} 12\n",
             "\nquarneld_frames_total{direction=\"in\",kind=\"datagram\"} 3\n",
             "\nquarneld_console_connections 1\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

// Idle connections opened before login by a user of the same machine (an SSH tunnel's
// operator comes from 127.0.0.1 too) must not keep the operator out.
TEST_F(ConsoleTest, IdleConnectionsCannotCrowdOutTheOperator) {
    ConsoleOptions options;
    options.requestTimeout = 1s;
    StartServer(options);
    asio::io_context ioc;
    auto request = [&](beast::tcp_stream& stream, const std::string& target) -> unsigned {
        http::request<http::string_body> req{http::verb::get, target, 11};
        req.set(http::field::host, host_);
        req.set(http::field::cookie, cookie_);
        req.keep_alive(true);
        if (Step(ioc, [&](auto h) { http::async_write(stream, req, h); })) return 0;
        http::response<http::string_body> res;
        beast::flat_buffer buffer;
        if (Step(ioc, [&](auto h) { http::async_read(stream, buffer, res, h); })) return 0;
        return res.result_int();
    };
    auto connectionsNow = [&] {
        const std::string text = Get("/metrics", cookie_).res.body();
        const auto at = text.find("\nquarneld_console_connections ");
        return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 31);
    };
    // The operator's page had a connection before the attack.
    auto operatorStream = Connect(ioc);
    ASSERT_EQ(request(operatorStream, "/state"), 200u);

    // Four times the per-address share, idle or sending half a request, and more while
    // the operator works.
    std::vector<beast::tcp_stream> attacker;
    const std::string partial = "GET /state HTTP/1.1\r\nHost: " + host_ + "\r\nX-Slow: ";
    for (int i = 0; i < 64; ++i) {
        attacker.push_back(Connect(ioc));
        if (i % 4 == 0) Step(ioc, [&](auto h) { asio::async_write(attacker.back(), asio::buffer(partial), h); });
    }
    for (int round = 0; round < 4; ++round) {
        EXPECT_EQ(request(operatorStream, "/state"), 200u) << "round " << round;
        EXPECT_EQ(Get("/state", cookie_).status(), 200u) << "round " << round;
        EXPECT_EQ(Get("/status.json", {}, {}, "Bearer " + server_->token()).status(), 200u) << "round " << round;
        const int open = connectionsNow();
        EXPECT_GE(open, 2);  // the operator's and the scrape's own
        EXPECT_LE(open, int(ConsoleOptions{}.maxConnectionsPerSource)) << "round " << round;
        for (int i = 0; i < 16; ++i) attacker.push_back(Connect(ioc));
    }

    // Every attacking connection is closed: to make room, or for bringing no request in time.
    std::this_thread::sleep_for(1500ms);
    std::size_t closed = 0;
    for (auto& stream : attacker) {
        char byte;
        const beast::error_code ec = Step(ioc, [&](auto h) { stream.async_read_some(asio::buffer(&byte, 1), h); });
        if (ec == asio::error::eof || ec == asio::error::connection_reset) ++closed;
    }
    EXPECT_EQ(closed, attacker.size());
    EXPECT_EQ(request(operatorStream, "/state"), 200u);
    const std::string text = Get("/metrics", cookie_).res.body();
    EXPECT_NE(text.find("quarneld_console_connections_dropped_total{reason=\"evicted\"} "), std::string::npos);
    EXPECT_EQ(text.find("quarneld_console_connections_dropped_total{reason=\"evicted\"} 0\n"), std::string::npos);
    EXPECT_EQ(text.find("quarneld_console_connections_dropped_total{reason=\"request_timeout\"} 0\n"),
              std::string::npos);
}

TEST_F(ConsoleTest, SnapshotJsonShape) {
    WindowThread& w = window_;
    std::string text;
    w.Run([&](Desktop& desktop) {
        Dialog* d = desktop.Find(w.main());
        d->AddString(IDC_PLAYER_LIST, "\tJ\tWaiting\tP\xe9ter\tRed\tSpitfire");
        d->SetCurSel(IDC_PLAYER_LIST, 0);
        d->SetDlgItemText(IDC_CHAT_PANE, "a\r\nb\r\n");
        MessageBoxRequest r;
        r.text = "Caf\xe9 closed";
        r.caption = "ERROR";
        desktop.ShowMessageBox(r);
        const DesktopSnapshot s = desktop.Snapshot();
        text = SnapshotJson(&s, ConsoleStatus{"Sess\x80", "10.0.0.7"});
    });
    const json j = json::parse(text);
    EXPECT_EQ(j["type"], "snapshot");
    EXPECT_EQ(j["status"]["sessionName"], "Sess\u20ac");
    EXPECT_EQ(j["status"]["hostAddress"], "10.0.0.7");
    ASSERT_EQ(j["dialogs"].size(), 1u);
    const json& d = j["dialogs"][0];
    EXPECT_EQ(d["template"], IDD_MAIN);
    EXPECT_EQ(d["title"], "QUARNELD v1.39");
    EXPECT_EQ(d["hwnd"], w.main());
    EXPECT_EQ(d["controls"].size(), MainWindowTemplate().controls.size());
    auto control = [&](int id) {
        for (const json& c : d["controls"])
            if (c["id"] == id) return c;
        return json();
    };
    const json list = control(IDC_PLAYER_LIST);
    EXPECT_EQ(list["kind"], "listbox");
    EXPECT_EQ(list["tabStops"], json::parse("[3,12,41,103,138]"));
    EXPECT_EQ(list["items"][0], "\tJ\tWaiting\tP\u00e9ter\tRed\tSpitfire");
    EXPECT_EQ(list["selection"], 0);
    EXPECT_EQ(list["w"], 232);
    EXPECT_EQ(control(IDC_SEND)["kind"], "defbutton");
    EXPECT_EQ(control(IDC_CHAT_PANE)["text"], "a\r\nb\r\n");
    EXPECT_EQ(control(IDC_CHAT_PANE)["style"], json::parse(R"(["tabstop","multiline","readonly","vscroll"])"));
    ASSERT_EQ(j["boxes"].size(), 1u);
    EXPECT_EQ(j["boxes"][0]["text"], "Caf\u00e9 closed");
    EXPECT_EQ(j["boxes"][0]["caption"], "ERROR");
    EXPECT_EQ(j["boxes"][0]["question"], false);
    EXPECT_EQ(j["boxes"][0]["buttons"], "ok");

    EXPECT_EQ(json::parse(SnapshotJson(nullptr, {}))["dialogs"], json::array());
}

TEST(ConsoleCommand, ParsesOnlyWellFormedCommands) {
    auto type = ParseCommand(R"({"op":"type","hwnd":3,"control":1001,"text":"caf\u00e9 \u20ac \u4e2d"})");
    ASSERT_TRUE(type);
    EXPECT_EQ(type->op, Command::Op::Type);
    EXPECT_EQ(type->hwnd, 3u);
    EXPECT_EQ(type->control, 1001);
    EXPECT_EQ(type->text, "caf\xe9 \x80 ?");
    auto answer = ParseCommand(R"({"op":"answer","box":4,"button":7})");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->box, 4);
    EXPECT_EQ(answer->button, IDNO);
    EXPECT_TRUE(ParseCommand(R"({"op":"click","hwnd":1,"control":-1})"));
    EXPECT_TRUE(ParseCommand(R"({"op":"enter","hwnd":4294967295})"));

    for (const char* bad : {
             "", "[]", "null", "{", R"({"op":"click"})", R"({"op":"launch","hwnd":1})",
             R"({"op":"click","hwnd":0,"control":1})", R"({"op":"click","hwnd":4294967296,"control":1})",
             R"({"op":"click","hwnd":"1","control":1})", R"({"op":"click","hwnd":1.5,"control":1})",
             R"({"op":"click","hwnd":1,"control":65536})", R"({"op":"select","hwnd":1,"control":1,"index":-1})",
             R"({"op":"select","hwnd":1,"control":1,"index":32767})", R"({"op":"type","hwnd":1,"control":1})",
             R"({"op":"answer","box":1,"button":3})", R"({"op":"answer","box":0,"button":1})",
             R"({"op":"dismiss","box":18446744073709551615})", "{\"op\":\"enter\",\"hwnd\":1}x",
         }) {
        EXPECT_FALSE(ParseCommand(bad)) << bad;
    }
    std::string deep(3000, '[');
    EXPECT_FALSE(ParseCommand(deep));

    ConsoleOptions o;
    std::string error;
    EXPECT_TRUE(ParseConsoleAddress("0.0.0.0:9000", o, error));
    EXPECT_EQ(o.address, "0.0.0.0");
    EXPECT_EQ(o.port, 9000);
    EXPECT_TRUE(ParseConsoleAddress("[::1]:8471", o, error));
    EXPECT_EQ(o.address, "::1");
    EXPECT_FALSE(ParseConsoleAddress("localhost:80", o, error));
    EXPECT_NE(error.find("localhost"), std::string::npos);
    EXPECT_FALSE(ParseConsoleAddress("127.0.0.1:70000", o, error));
    EXPECT_FALSE(ParseConsoleAddress("127.0.0.1:", o, error));
}

TEST_F(ConsoleTest, CommandsReachTheWindowInArrivalOrderAndChangesArePushed) {
    StartServer();
    auto a = OpenWs(cookie_, "http://" + host_);
    auto b = OpenWs(cookie_, "http://" + host_);
    ASSERT_FALSE(a->ec);
    ASSERT_FALSE(b->ec);
    const json firstA = a->Read();
    b->Read();
    const HWND main = window_.main();

    // Typing, then a burst of clicks on two buttons over the socket, then POSTs.
    a->Send({{"op", "type"}, {"hwnd", main}, {"control", IDC_CHAT_ENTRY}, {"text", "h\u00e9llo"}});
    std::vector<int> expected = {IDC_CHAT_ENTRY};
    for (int i = 0; i < 40; ++i) {
        const int id = i % 3 == 0 ? IDC_EJECT : IDC_CAPTURE;
        a->Send({{"op", "click"}, {"hwnd", main}, {"control", id}});
        expected.push_back(id);
    }
    // One socket's commands keep their order; a POST is posted before its answer, so
    // POSTs after the socket's burst has been applied come after it.
    for (int i = 0; i < 100 && window_.Commands().size() < expected.size(); ++i) std::this_thread::sleep_for(20ms);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Post(json{{"op", "click"}, {"hwnd", main}, {"control", IDC_CHANGE_OPTIONS}}.dump()).status(), 202u);
        expected.push_back(IDC_CHANGE_OPTIONS);
    }
    EXPECT_EQ(Post("{\"op\":\"click\"}").status(), 400u);
    for (int i = 0; i < 100 && window_.Commands().size() < expected.size(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(window_.Commands(), expected);

    // Both pages see the typed text, converted to UTF-8 on the way out.
    auto typed = [](const json& j) {
        if (j["dialogs"].empty()) return false;
        for (const json& c : j["dialogs"][0]["controls"])
            if (c["id"] == IDC_CHAT_ENTRY) return c["text"] == "h\u00e9llo";
        return false;
    };
    const json seenA = ReadUntil(*a, typed);
    const json seenB = ReadUntil(*b, typed);
    ASSERT_FALSE(seenA.is_null());
    ASSERT_FALSE(seenB.is_null());
    EXPECT_GT(seenA["revision"].get<uint64_t>(), firstA["revision"].get<uint64_t>());
    EXPECT_EQ(seenA["status"]["sessionName"], "Session \u00e9");
    std::string typedText;
    window_.Run([&](Desktop& d) { typedText = d.Find(main)->GetDlgItemText(IDC_CHAT_ENTRY); });
    EXPECT_EQ(typedText, "h\xe9llo");

    // Input to a window that does not exist, or a disabled control, changes nothing.
    const auto before = window_.Commands().size();
    a->Send({{"op", "click"}, {"hwnd", main + 1000}, {"control", IDC_EJECT}});
    a->Send({{"op", "click"}, {"hwnd", main}, {"control", IDC_NF_LAUNCH}});
    a->Send({{"op", "click"}, {"hwnd", main}, {"control", IDC_EJECT}});
    for (int i = 0; i < 100 && window_.Commands().size() < before + 1; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(window_.Commands().size(), before + 1);
    EXPECT_EQ(window_.Commands().back(), IDC_EJECT);
}

TEST(ConsoleToken, FileIsReadOrMadeOwnerOnly) {
    const testing::TempDir tmp;
    const std::string dir = tmp.path().string(), path = dir + "/token";
    std::string error;
    auto made = TokenFromFile(path, error);
    ASSERT_TRUE(made) << error;
    EXPECT_EQ(made->size(), 32u);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto again = TokenFromFile(path, error);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *made);
    EXPECT_NE(NewToken(), NewToken());

    std::ofstream(dir + "/short") << "abc\n";
    EXPECT_FALSE(TokenFromFile(dir + "/short", error));
    EXPECT_NE(error.find(dir + "/short"), std::string::npos);
    std::ofstream(dir + "/spaces") << "  my-own_token-12345  \r\nignored\n";
    auto own = TokenFromFile(dir + "/spaces", error);
    ASSERT_TRUE(own);
    EXPECT_EQ(*own, "my-own_token-12345");
}

}  // namespace
}  // namespace qd::console

namespace qd::console {
namespace {

TEST(ConsoleHostCheck, OnlyThisConsolesAddressesAndOrigins) {
    const HostCheck loopback("127.0.0.1", 8470);
    EXPECT_TRUE(loopback.HostAllowed("127.0.0.1:8470"));
    EXPECT_TRUE(loopback.HostAllowed("localhost:8470"));
    EXPECT_FALSE(loopback.HostAllowed("127.0.0.1:8471"));
    EXPECT_FALSE(loopback.HostAllowed("10.0.0.7:8470"));
    EXPECT_FALSE(loopback.HostAllowed("rebound.example:8470"));
    EXPECT_TRUE(loopback.OriginAllowed(std::nullopt, "127.0.0.1:8470"));
    EXPECT_TRUE(loopback.OriginAllowed("http://localhost:8470", "localhost:8470"));
    EXPECT_FALSE(loopback.OriginAllowed("http://localhost:8470", "127.0.0.1:8470"));
    EXPECT_FALSE(loopback.OriginAllowed("https://127.0.0.1:8470", "127.0.0.1:8470"));

    // Listening everywhere: any address literal of this port, never a name.
    const HostCheck any("0.0.0.0", 9000);
    EXPECT_TRUE(any.HostAllowed("192.168.1.20:9000"));
    EXPECT_TRUE(any.HostAllowed("[fe80::1]:9000"));
    EXPECT_TRUE(any.HostAllowed("localhost:9000"));
    EXPECT_FALSE(any.HostAllowed("192.168.1.20:9001"));
    EXPECT_FALSE(any.HostAllowed("evil.example:9000"));
    EXPECT_FALSE(any.HostAllowed(":9000"));

    EXPECT_EQ(QueryParameter("/?a=1&token=abc&b", "token"), "abc");
    EXPECT_EQ(QueryParameter("/?xtoken=abc", "token"), std::nullopt);
    EXPECT_EQ(CookieValue("a=1; quarneld_console_1=tok ;b=2", "quarneld_console_1"), "tok");
    EXPECT_EQ(CookieValue("quarneld_console_12=tok", "quarneld_console_1"), std::nullopt);
}

}  // namespace
}  // namespace qd::console

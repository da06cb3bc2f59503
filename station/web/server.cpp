// The web server on cpp-httplib. The library parses requests and routes
// them; what it leaves open is bounded here:
// - a fixed pool of threads, and a connection limit past which a new
//   connection gets a 503 and is closed at once;
// - each connection reads through LimitedStream, which cuts a request off
//   when its head grows past maxHeadBytes or maxHeaderLines, its bytes past
//   head plus maxBodyBytes, or its time past requestDeadline, and which
//   gives up on any wait after the read or write timeout;
// - the event stream sends at most one update per eventInterval, and a
//   client that stops reading is cut off by the write timeout.
// The library's own connection loop has none of the first two, so the
// server takes over the one per-connection entry point the library lets a
// subclass replace (process_and_close_socket) and calls the library's
// request parser from there.
#include "station/web/server.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "station/web/assets.h"
#include "station/web/http.h"
#include "station/web/render.h"
#include "station/web/socket.h"

namespace station::web {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks up to see whether the server is stopping.
constexpr int kSliceMs = 100;
constexpr const char* kCookie = "vantrel_token";
constexpr std::size_t kKeepAliveRequests = 100;
constexpr std::size_t kMaxRunsPerPage = 1000;
constexpr std::size_t kMaxReplayRuns = 1000;

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

// A fixed pool: the library's own sizes itself from the processors and is
// compiled into Debian's shared library.
class Pool : public httplib::TaskQueue {
public:
    explicit Pool(std::size_t threads) {
        for (std::size_t k = 0; k < threads; ++k)
            threads_.emplace_back([this] { Work(); });
    }
    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(fn));
        }
        wake_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
    }

private:
    void Work() {
        while (true) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

struct Limits {
    int readTimeoutMs;
    int writeTimeoutMs;
    std::chrono::milliseconds deadline;
    std::size_t maxHead;
    std::size_t maxLines;
    std::size_t maxBody;
};

// A connection's stream, with the limits on each request.
class LimitedStream : public httplib::Stream {
public:
    LimitedStream(net::Socket s, const Limits& limits, const std::atomic<bool>& stopping)
        : socket_(s), limits_(limits), stopping_(stopping) {}

    // Waits for the next request to begin; false at the peer's end, an
    // error, the timeout or the server stopping.
    bool AwaitRequest(int timeoutMs) {
        if (at_ < filled_)
            return true;
        return WaitFor(false, timeoutMs) && Fill() > 0;
    }
    void BeginRequest() {
        inHead_ = true;
        headBytes_ = lines_ = lineLength_ = requestBytes_ = 0;
        deadline_ = Clock::now() + limits_.deadline;
    }
    bool WasCut() const { return cut_; }

    bool is_readable() const override { return at_ < filled_ || net::Wait(socket_, false, 0) == net::Ready::kYes; }
    bool is_writable() const override { return WaitFor(true, limits_.writeTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (size == 0)
            return 0;
        if (Clock::now() > deadline_)
            return Cut();
        if (at_ == filled_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            const int wait = static_cast<int>(std::clamp<long long>(left, 0, limits_.readTimeoutMs));
            if (!WaitFor(false, wait))
                return Cut();
            const long n = Fill();
            if (n <= 0)
                return n;
        }
        // The head is handed over a byte at a time (the library reads it so
        // anyway), so that its end, its size and its lines are seen exactly.
        std::size_t n = std::min(size, filled_ - at_);
        if (inHead_) {
            n = 1;
            const char c = buffer_[at_];
            if (++headBytes_ > limits_.maxHead)
                return Cut();
            if (c == '\n') {
                if (lineLength_ == 0 && lines_ > 0) {
                    inHead_ = false;
                } else if (++lines_ > limits_.maxLines + 1) {  // the request line and the headers
                    return Cut();
                }
                lineLength_ = 0;
            } else if (c != '\r') {
                ++lineLength_;
            }
        } else {
            requestBytes_ += n;
            if (requestBytes_ > limits_.maxBody)
                return Cut();
        }
        std::copy(buffer_ + at_, buffer_ + at_ + n, ptr);
        at_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        std::size_t sent = 0;
        while (sent < size) {
            if (!WaitFor(true, limits_.writeTimeoutMs))
                return Cut();
            const long n = net::Send(socket_, ptr + sent, size - sent);
            if (n <= 0)
                return -1;
            sent += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { net::Address(socket_, false, &ip, &port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { net::Address(socket_, true, &ip, &port); }
    socket_t socket() const override { return socket_; }

private:
    // Waits in slices so that a stopping server is noticed.
    bool WaitFor(bool forWrite, int timeoutMs) const {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!stopping_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            const int slice = static_cast<int>(std::clamp<long long>(left, 0, kSliceMs));
            const net::Ready r = net::Wait(socket_, forWrite, slice);
            if (r == net::Ready::kYes)
                return true;
            if (r == net::Ready::kError || left <= 0)
                return false;
        }
        return false;
    }
    long Fill() {
        at_ = filled_ = 0;
        const long n = net::Receive(socket_, buffer_, sizeof buffer_);
        if (n > 0)
            filled_ = static_cast<std::size_t>(n);
        return n;
    }
    ssize_t Cut() {
        cut_ = true;
        return -1;
    }

    net::Socket socket_;
    const Limits& limits_;
    const std::atomic<bool>& stopping_;
    char buffer_[4096];
    std::size_t at_ = 0, filled_ = 0;
    bool inHead_ = true;
    std::size_t headBytes_ = 0, lines_ = 0, lineLength_ = 0, requestBytes_ = 0;
    Clock::time_point deadline_ = Clock::now();
    bool cut_ = false;
};

bool SameSecret(const std::string& a, const std::string& b) {
    // Time that does not depend on where the first difference is.
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t k = 0; k < a.size(); ++k) {
        diff |= static_cast<unsigned char>(a[k] ^ (k < b.size() ? b[k] : 0));
    }
    return diff == 0;
}

std::string CookieValue(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        std::string part = header.substr(at, end - at);
        const std::size_t first = part.find_first_not_of(' ');
        part = first == std::string::npos ? "" : part.substr(first);
        if (part.compare(0, name.size() + 1, name + "=") == 0)
            return part.substr(name.size() + 1);
        at = end + 1;
    }
    return {};
}

// The paths served, and the methods each answers.
struct Route {
    const char* path;
    bool post;  // POST as well as GET/HEAD
    bool open;  // served without the token
};
constexpr Route kRoutes[] = {
    {"/", false, false},
    {"/app.js", false, false},
    {"/style.css", false, true},
    {"/login", true, true},
    {"/api/v1/status", false, false},
    {"/api/v1/runs", false, false},
    {"/api/v1/events", false, false},
    {"/healthz", false, false},
    {"/metrics", false, false},
};

const Route* FindRoute(const std::string& path) {
    for (const Route& r : kRoutes) {
        if (path == r.path)
            return &r;
    }
    return nullptr;
}

// The error body's word for a status the library set itself.
std::string StatusWord(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 413:
            return "payload too large";
        case 414:
            return "uri too long";
        case 416:
            return "range not satisfiable";
        default:
            return status >= 500 ? "internal error" : "error";
    }
}

bool ParseSeq(const std::string& text, std::uint64_t* out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoull(text);
    return true;
}

}  // namespace

class Server::Impl : public httplib::Server {
public:
    Impl(Board& board, ServerConfig config) : board_(board), config_(std::move(config)) {
        limits_ = Limits{static_cast<int>(config_.readTimeout.count()),
                         static_cast<int>(config_.writeTimeout.count()),
                         config_.requestDeadline,
                         config_.maxHeadBytes,
                         config_.maxHeaderLines,
                         config_.maxBodyBytes};
        // Threads beyond the connection limit answer the connections past it.
        const std::size_t threads = config_.maxConnections + 4;
        new_task_queue = [threads] { return new Pool(threads); };
        set_payload_max_length(config_.maxBodyBytes);
        // Only the Keep-Alive header the library writes; the loop below keeps
        // the count and the time.
        set_keep_alive_max_count(kKeepAliveRequests);
        set_keep_alive_timeout(
            std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(config_.keepAlive).count()));
        set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                             {"X-Content-Type-Options", "nosniff"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Cache-Control", "no-store"}});
        set_pre_routing_handler([this](const httplib::Request& q, httplib::Response& r) { return Gate(q, r); });
        set_error_handler([](const httplib::Request&, httplib::Response& r) {
            if (r.body.empty()) {
                r.set_content(ErrorJson(StatusWord(r.status)), "application/json");
            }
        });
        set_exception_handler([](const httplib::Request&, httplib::Response& r, std::exception_ptr) {
            r.status = 500;
            r.set_content(ErrorJson("internal error"), "application/json");
        });
        Get("/", [this](const httplib::Request&, httplib::Response& r) { SendAsset("index.html", r); });
        Get("/app.js", [this](const httplib::Request&, httplib::Response& r) { SendAsset("app.js", r); });
        Get("/style.css", [this](const httplib::Request&, httplib::Response& r) { SendAsset("style.css", r); });
        Get("/login", [this](const httplib::Request&, httplib::Response& r) { SendAsset("login.html", r); });
        Post("/login", [this](const httplib::Request& q, httplib::Response& r) { Login(q, r); });
        Get("/api/v1/status", [this](const httplib::Request&, httplib::Response& r) {
            r.set_content(StatusJson(board_.State(), board_.GetCounters().lastSeq), "application/json");
        });
        Get("/api/v1/runs", [this](const httplib::Request& q, httplib::Response& r) { Runs(q, r); });
        Get("/api/v1/events", [this](const httplib::Request& q, httplib::Response& r) { Events(q, r); });
        Get("/healthz", [](const httplib::Request&, httplib::Response& r) {
            r.set_content("{\"status\":\"ok\"}", "application/json");
        });
        Get("/metrics", [this](const httplib::Request&, httplib::Response& r) {
            r.set_content(MetricsText(board_.State(), board_.GetCounters()),
                          "text/plain; version=0.0.4; charset=utf-8");
        });
    }

    std::string StartServing() {
        const std::string& host = config_.address.host;
        bool bound;
        if (config_.address.port == 0) {
            const int port = bind_to_any_port(host);
            bound = port > 0;
            port_ = bound ? static_cast<unsigned>(port) : 0;
        } else {
            bound = bind_to_port(host, static_cast<int>(config_.address.port));
            port_ = config_.address.port;
        }
        if (!bound) {
            const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
            return "binding " + shown + ":" + std::to_string(config_.address.port) + ": " + net::LastError();
        }
        thread_ = std::thread([this] { listen_after_bind(); });
        return {};
    }

    void StopServing() {
        stopping_ = true;
        stop();
        if (thread_.joinable())
            thread_.join();
    }

    unsigned port_ = 0;
    std::atomic<std::uint64_t> accepted_{0}, refused_{0}, cut_{0};

private:
    // The library calls this once per accepted connection, on a pool thread.
    bool process_and_close_socket(socket_t sock) override {
        if (active_.fetch_add(1) >= config_.maxConnections) {
            --active_;
            ++refused_;
            net::RefuseAndClose(sock,
                                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                                "Content-Length: 28\r\nConnection: close\r\n\r\n{\"error\":\"too many clients\"}");
            return false;
        }
        ++accepted_;
        bool ok = false;
        {
            LimitedStream stream(sock, limits_, stopping_);
            const int idleMs = static_cast<int>(config_.keepAlive.count());
            for (std::size_t k = 1; k <= kKeepAliveRequests && !stopping_; ++k) {
                // The first request may take the read timeout to start; later ones
                // the keep-alive time.
                if (!stream.AwaitRequest(k == 1 ? limits_.readTimeoutMs : idleMs))
                    break;
                stream.BeginRequest();
                bool closed = false;
                ok = process_request(stream, k == kKeepAliveRequests, closed, {});
                if (!ok || closed || stream.WasCut())
                    break;
            }
            if (stream.WasCut())
                ++cut_;
        }
        net::RefuseAndClose(sock, {});
        --active_;
        return ok;
    }

    bool Authorized(const httplib::Request& q) const {
        if (config_.token.empty())
            return true;
        const std::string bearer = q.get_header_value("Authorization");
        if (bearer.compare(0, 7, "Bearer ") == 0 && SameSecret(bearer.substr(7), config_.token))
            return true;
        const std::string cookie = CookieValue(q.get_header_value("Cookie"), kCookie);
        return !cookie.empty() && SameSecret(cookie, config_.token);
    }

    // Before routing: the method, then the token, with errors as JSON.
    httplib::Server::HandlerResponse Gate(const httplib::Request& q, httplib::Response& r) {
        const Route* route = FindRoute(q.path);
        const bool get = q.method == "GET" || q.method == "HEAD";
        if (route && !(get || (route->post && q.method == "POST"))) {
            r.status = 405;
            r.set_header("Allow", route->post ? "GET, HEAD, POST" : "GET, HEAD");
            r.set_content(ErrorJson("method not allowed"), "application/json");
            return HandlerResponse::Handled;
        }
        if (route && !route->open && !Authorized(q)) {
            r.status = 401;
            // The page asks for the token with its form; everything else gets
            // the status alone, with no word on what was wrong.
            if (q.path == "/") {
                SendAsset("login.html", r);
                r.status = 401;
            } else {
                r.set_header("WWW-Authenticate", "Bearer");
                r.set_content(ErrorJson("unauthorized"), "application/json");
            }
            return HandlerResponse::Handled;
        }
        if (!route) {
            r.status = 404;
            r.set_content(ErrorJson("not found"), "application/json");
            return HandlerResponse::Handled;
        }
        return HandlerResponse::Unhandled;
    }

    void SendAsset(const char* name, httplib::Response& r) {
        const Asset a = FindAsset(name);
        r.set_content(std::string(a.body), std::string(a.type));
    }

    void Login(const httplib::Request& q, httplib::Response& r) {
        httplib::Params form;
        httplib::detail::parse_query_text(q.body, form);
        const auto given = form.find("token");
        if (config_.token.empty()) {
            r.status = 303;
            r.set_header("Location", "/");
            return;
        }
        if (given == form.end() || !SameSecret(given->second, config_.token)) {
            SendAsset("login.html", r);
            r.status = 401;
            return;
        }
        r.status = 303;
        r.set_header("Location", "/");
        r.set_header("Set-Cookie", std::string(kCookie) + "=" + config_.token + "; Path=/; HttpOnly; SameSite=Strict");
    }

    void Runs(const httplib::Request& q, httplib::Response& r) {
        std::uint64_t since = 0;
        std::uint64_t limit = kMaxRunsPerPage;
        if (q.has_param("since") && !ParseSeq(q.get_param_value("since"), &since)) {
            r.status = 400;
            r.set_content(ErrorJson("since: not a run number"), "application/json");
            return;
        }
        if (q.has_param("limit") && (!ParseSeq(q.get_param_value("limit"), &limit) || limit == 0)) {
            r.status = 400;
            r.set_content(ErrorJson("limit: not a count of at least 1"), "application/json");
            return;
        }
        limit = std::min<std::uint64_t>(limit, kMaxRunsPerPage);
        const std::uint64_t firstHeld = board_.FirstHeldSeq();
        r.set_content(RunsJson(board_.RunsSince(since, static_cast<std::size_t>(limit)), since, firstHeld),
                      "application/json");
    }

    // The event stream: on connecting, the runs missed since Last-Event-ID
    // (or ?since=) and the whole state, so that a page that reconnects shows
    // the truth; then at most one update per eventInterval: the new runs,
    // and the state when it changed.
    void Events(const httplib::Request& q, httplib::Response& r) {
        struct Stream {
            std::uint64_t runSeq = 0;
            std::uint64_t version = 0;
            bool started = false;
            Clock::time_point lastSent;
        };
        auto s = std::make_shared<Stream>();
        std::string from = q.get_header_value("Last-Event-ID");
        if (from.empty() && q.has_param("since"))
            from = q.get_param_value("since");
        std::uint64_t since = 0;
        bool replay = !from.empty() && ParseSeq(from, &since);
        if (!replay)
            since = board_.GetCounters().lastSeq;
        s->runSeq = since;
        r.set_header("X-Accel-Buffering", "no");
        r.set_chunked_content_provider("text/event-stream", [this, s](std::size_t, httplib::DataSink& sink) {
            std::string out;
            if (!s->started) {
                s->started = true;
                out = "retry: 1000\n\n";
            } else {
                const auto quietUntil = Clock::now() + config_.heartbeat;
                // Waits in slices, so that a stopping server is noticed.
                while (!stopping_ && board_.Version() == s->version && Clock::now() < quietUntil) {
                    board_.WaitForChange(s->version, std::chrono::milliseconds(kSliceMs));
                }
                if (stopping_ || board_.Closed())
                    return false;
                const auto next = s->lastSent + config_.eventInterval;
                while (!stopping_ && Clock::now() < next) {
                    std::this_thread::sleep_for(
                        std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(kSliceMs)));
                }
                if (stopping_)
                    return false;
            }
            const std::uint64_t version = board_.Version();
            for (const Board::Run& run : board_.RunsSince(s->runSeq, kMaxReplayRuns)) {
                out += EventMessage("run", RunWithSeq(run), run.seq);
                s->runSeq = run.seq;
            }
            if (version != s->version || out.size() > 0) {
                out += EventMessage("state", StatusJson(board_.State(), s->runSeq), 0);
                s->version = version;
            } else {
                out += ": quiet\n\n";
            }
            s->lastSent = Clock::now();
            return sink.write(out.data(), out.size());
        });
    }

    Board& board_;
    const ServerConfig config_;
    Limits limits_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> active_{0};
    std::thread thread_;
};

Server::Server(Board& board, ServerConfig config) : impl_(std::make_unique<Impl>(board, std::move(config))) {}

Server::~Server() { Stop(); }

std::string Server::Start() { return impl_->StartServing(); }

unsigned Server::Port() const { return impl_->port_; }

void Server::Stop() { impl_->StopServing(); }

Server::Stats Server::GetStats() const { return Stats{impl_->accepted_, impl_->refused_, impl_->cut_}; }

}  // namespace station::web

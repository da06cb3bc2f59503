// The station's web server: the page, the API, the event stream and the
// metrics, served from a Board on threads of their own. Every limit a
// client could push is bounded here (connections, request head, header
// lines, body, read and write time), so that a stalled or flooding client
// is cut off and the main loop, which only writes the Board, never waits
// for anyone. Not here: the command line (config.h), the bodies
// (render.h), the page's files (assets).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "station/board.h"
#include "station/web/config.h"

namespace station::web {

struct ServerConfig {
    HttpAddress address;  // port 0 binds a free port (tests)
    std::string token;    // empty: no authentication (loopback only; see CheckHttpSecurity)
    std::size_t maxConnections = 64;
    std::chrono::milliseconds readTimeout{5000};       // one wait for a request's next bytes
    std::chrono::milliseconds writeTimeout{5000};      // one wait for room to send
    std::chrono::milliseconds requestDeadline{10000};  // a whole request, head and body, from its first byte
    std::chrono::milliseconds keepAlive{5000};         // an idle connection between requests
    std::size_t maxHeadBytes = 16 * 1024;              // request line and headers
    std::size_t maxHeaderLines = 64;
    std::size_t maxBodyBytes = 4096;               // only the login form has a body
    std::chrono::milliseconds eventInterval{100};  // at most 10 updates a second per stream
    std::chrono::milliseconds heartbeat{15000};    // a comment on a quiet stream, so proxies keep it
};

class Server {
public:
    struct Stats {
        std::uint64_t accepted = 0;  // connections served
        std::uint64_t refused = 0;   // turned away at the connection limit
        std::uint64_t cut = 0;       // ended for a limit: head, header lines, body, deadline, timeout
    };

    Server(Board& board, ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts serving on its own thread; the reason when it cannot
    // ("binding 0.0.0.0:8080: Address already in use").
    std::string Start();
    unsigned Port() const;
    // Ends every connection (within a fraction of a second) and the thread.
    void Stop();
    Stats GetStats() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace station::web

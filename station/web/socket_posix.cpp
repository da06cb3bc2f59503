// The connection layer's socket calls on POSIX: poll, recv and send with
// MSG_NOSIGNAL (a peer gone mid-write must not raise SIGPIPE in the
// station), getpeername/getsockname.
#include "station/web/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace station::web::net {

Ready Wait(Socket s, bool forWrite, int timeoutMs) {
    pollfd p{};
    p.fd = s;
    p.events = forWrite ? POLLOUT : POLLIN;
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Ready::kError;
    if (n == 0)
        return Ready::kTimeout;
    // POLLHUP/POLLERR count as ready: the next recv/send reports them.
    return Ready::kYes;
}

long Receive(Socket s, char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::recv(s, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long Send(Socket s, const char* data, std::size_t size) {
    ssize_t n;
    do {
        n = ::send(s, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void Address(Socket s, bool local, std::string* ip, int* port) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    ip->clear();
    *port = 0;
    if ((local ? ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length)
               : ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &length)) != 0) {
        return;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        *port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        *port = ntohs(v6->sin6_port);
    }
    *ip = text;
}

void RefuseAndClose(Socket s, const std::string& text) {
    // A refusal is a courtesy; the close is what matters, so the send's
    // result is not examined.
    (void)::send(s, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
}

std::string LastError() { return std::strerror(errno); }

}  // namespace station::web::net

// The connection layer's socket calls on Windows (Winsock): select, which
// counts sockets rather than numbering them, so FD_SETSIZE is no limit on
// the socket's value; recv and send.
#include "station/web/socket.h"

#include <cstdlib>
#include <string>

namespace station::web::net {

Ready Wait(Socket s, bool forWrite, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int n = ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &limit);
    if (n == SOCKET_ERROR)
        return Ready::kError;
    if (n == 0)
        return Ready::kTimeout;
    return Ready::kYes;
}

long Receive(Socket s, char* buffer, std::size_t size) {
    const int n = ::recv(s, buffer, static_cast<int>(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long Send(Socket s, const char* data, std::size_t size) {
    const int n = ::send(s, data, static_cast<int>(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void Address(Socket s, bool local, std::string* ip, int* port) {
    sockaddr_storage a{};
    int length = sizeof a;
    ip->clear();
    *port = 0;
    if ((local ? ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length)
               : ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &length)) != 0) {
        return;
    }
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        *ip = host;
        *port = std::atoi(service);
    }
}

void RefuseAndClose(Socket s, const std::string& text) {
    // Non-blocking for the refusal alone: a peer that reads nothing must not
    // hold this thread. The send's result is not examined; the close is what
    // matters.
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
    (void)::send(s, text.data(), static_cast<int>(text.size()), 0);
    ::shutdown(s, SD_BOTH);
    ::closesocket(s);
}

std::string LastError() {
    const int code = ::WSAGetLastError();
    char* text = nullptr;
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : "socket error " + std::to_string(code);
    if (text)
        ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}

}  // namespace station::web::net
